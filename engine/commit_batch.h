#pragma once

#include "file_ops.h"
#include "io_error.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

class BlockFile;
class FolderHandle;
class TempJournal;

/// Named moments of a pass at which a test may change the trees.
enum class ProbePoint {
    FoldersRebuilt, ///< the target folders are made; path: the target root
    BeforeListing,  ///< a source folder's files are about to be listed; path: that folder
    BeforeOpen,     ///< a listed file is about to be opened; path: the source file
    Queued,         ///< a copy is written and waits in the batch; path: its target
    BeforeWriteOut, ///< a batch of copies is about to be written out; path: its first target
    Named,          ///< a written-out copy without a name got a temporary one; path: its target
    BeforeName,     ///< a written-out copy is about to take its target's name, its own name and
                    ///< time set where it needs them; path: its target
    BeforeTimeKept, ///< a copy has its target's name; its time is about to be set again where
                    ///< the medium may have lost it; path: its target
};

/// What a copy of a source of `kind` and `mtime` does with `now`, found where something else
/// was decided on: replaces nothing or an older entry of its kind, leaves a newer or equal
/// one alone, and fails at anything of another kind (code pending).
enum class Recheck { Replace, LeftAlone, Clash };
Recheck recheckTarget(const std::optional<PathStatus>& now, EntryKind kind, const timespec& mtime,
                      bool exactTimes = false);

/// A copy written and closed but not yet renamed into place.
struct PendingCopy {
    std::unique_ptr<BlockFile> file; ///< still open: the write-out works on it
    /// The target's folder, held open: the rename happens in it, wherever it was moved.
    std::shared_ptr<FolderHandle> folder;
    std::string temp; ///< full path; empty while the copy has no name yet
    std::string target;
    std::string targetName;
    std::string source; ///< full path, for messages
    timespec mtime{};   ///< the source's, which the target must end up with
    /// What the copy may replace: the target as decided on (none: nothing there).
    std::optional<PathStatus> decided;
    bool keepReplaced = false; ///< a conflict: what it replaces is kept beside it
    std::int64_t size = 0;     ///< bytes written
    /// The medium did not keep the permissions (or, as root, the owner) given to the copy.
    bool modeLost = false;
    bool ownerLost = false;
    bool exactTimes = false; ///< both trees keep exact times (see orderTarget)
};

/// The copies of a pass on their way to their names: one write-out of the file system for
/// a batch costs far less than one per file. Owns the run's journal of named temporaries.
class CommitBatch {
public:
    /// What the batch asks of the run it serves.
    class Owner {
    public:
        virtual void probe(ProbePoint point, const std::string& path) const = 0;
        /// A copy already logged as written failed with `code`; `named`: its bytes took the
        /// target's name all the same (only its time is wrong).
        virtual void copyFailed(int code, const std::string& target, bool named) = 0;
        /// A copy that took its target's name.
        virtual void copyPlaced(const PendingCopy& copy) = 0;
        /// A copy not put in place because its target changed since the decision.
        virtual void copyLeftAlone(const std::string& target) = 0;
        /// True when `now`, found at a target since the decision, is to be kept beside it.
        virtual bool keepsChanged(const PathStatus& now) const = 0;
        /// The entry a copy replaces was moved aside under `keptName` in its folder.
        virtual void versionKept(const PendingCopy& copy, const std::string& keptName) = 0;
        /// No journal took a temporary's name, and the run ends: `why`.
        virtual void journalRefused(const std::string& why) = 0;
        /// The roots a journal opened outside a profile's run files its entries under.
        virtual std::vector<std::string> passRoots() const = 0;

    protected:
        ~Owner() = default;
    };

    /// `maxFiles`: copies held open at once.
    CommitBatch(Owner& owner, std::size_t maxFiles);
    ~CommitBatch();
    CommitBatch(const CommitBatch&) = delete;
    CommitBatch& operator=(const CommitBatch&) = delete;

    /// The roots of the running profile's trees, under which the journal files its entries
    /// (none: the owner's passRoots()).
    void setRoots(std::vector<std::string> roots) { roots_ = std::move(roots); }
    /// Closes the journal: what it still names waits for the next run.
    void closeJournal();

    /// A new temporary in `folder`: without a name where the file system can, else under a
    /// fresh name written into the journal first (`tempPath`). Null with the code pending.
    std::unique_ptr<BlockFile> createTemp(const FolderHandle& folder, std::string& tempPath);
    /// Writes down a temporary's name before it exists. False with the failure pending; one
    /// that ends the run is given to the owner with where and why.
    bool recordTemp(const FolderHandle& folder, const std::string& name);
    /// Takes back a name something already had, or one whose create failed and left nothing.
    void withdrawTaken(const FolderHandle& folder, const std::string& name) noexcept;
    void withdrawIfAbsent(const FolderHandle& folder, const std::string& name) noexcept;

    /// Queues a finished copy; commits the batch once it is full. throw IoError
    void add(PendingCopy copy);
    /// Makes every finished temporary durable with one write-out on the descriptors already
    /// held, then renames each over its target. A rename that clashes at its target path is
    /// reported and uncounted, and the rest go on. A failed write-out is final: the batch's
    /// temporaries are removed, each file is named as failed and nothing is renamed.
    /// throw IoError for a failed write-out or a fault of the medium
    void commit();
    /// A run ended by an error: commits the finished copies (they are already logged as
    /// written); only when that fails are their temporaries removed and each named as failed.
    void discard() noexcept;
    /// Removes the temporaries of the batch, naming each file as failed with `code`.
    void drop(int code) noexcept;
    bool empty() const { return pending_.empty(); }

private:
    /// How a written-out copy ended at its target's name.
    enum class Placement { Placed, LeftAlone, Failed };
    TempJournal& journal();
    /// Renames a named, closed copy over its target if that is still the entry decided on
    /// (or, changed since, still older); never over anything else. Failed: code pending.
    Placement placeCopy(PendingCopy& copy);
    /// Moves the entry at the copy's target to a conflict name beside it. False with the
    /// code pending.
    bool keepReplacedVersion(PendingCopy& copy);
    /// Gives a copy without a name a fresh one beside its target, for the rename. False
    /// with the code pending.
    bool nameUnnamed(PendingCopy& copy);
    /// Links a copy without a name straight to its target's name, where nothing was; false
    /// when that is refused (nothing pending: the temporary's name and rename follow).
    bool linkInPlace(PendingCopy& copy);
    /// Writes down the time a copy must end with where its medium may lose it at the rename.
    void journalTime(const PendingCopy& copy);
    /// Takes that back: the copy did not take its target's name.
    void forgetTime(const PendingCopy& copy) noexcept;
    /// After the rename: sets the time again where the medium lost it.
    void keepTime(const PendingCopy& copy);
    /// Takes away a copy that will not reach its name: its temporary and its descriptor.
    static void removeTemp(PendingCopy& copy) noexcept;
    /// The one way out of a commit that the medium ends: the copies placed so far stay, the
    /// rest stay queued for discard() (or are dropped, with `dropRest`). throw IoError
    [[noreturn]] void endCommit(std::size_t placed, const IoFailure& failure, bool dropRest);
    void settled() noexcept;

    Owner& owner_;
    std::size_t maxFiles_;
    std::vector<PendingCopy> pending_;
    std::int64_t pendingBytes_ = 0;
    std::unique_ptr<TempJournal> journal_;
    std::vector<std::string> roots_;
};

} // namespace qm
