#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm {

class FolderHandle;
struct PendingTime;

/// The folder where this user's runs keep their journals: $XDG_STATE_HOME/quillmark, else
/// ~/.local/state/quillmark, the home taken from HOME or else from the user database. Empty
/// when none is known.
std::string tempJournalFolder();

/// True for the name of a journal kept in a tree's root (".quillmark-journal-" and 16 hex
/// digits): a file of ours that no pass may copy and nothing may remove by its name alone.
bool isTreeJournalName(const std::string& name);

/// A path with each run of "/" made one and no final "/" (except for "/" itself).
std::string normalRoot(const std::string& path);

/// What a recovery did: temporaries removed, and entries kept because their temporary
/// could not be confirmed gone (its medium absent, a removal refused).
struct RecoveryCount {
    int removed = 0;
    int waiting = 0;
    int timesSet = 0; ///< copies given the time their killed run could not set
};

/// The named temporaries of one run, each written down before its name exists as the root
/// of its tree (as the user gave it) and its path below that root. Kept in the state folder;
/// where that folder cannot be used or refuses a write, in a journal of ours in the root of
/// the temporary's tree. Each journal is locked (flock) for the life of the run, so no
/// other run takes it for ended; a killed run leaves it unlocked. An entry goes only once
/// its temporary is confirmed gone, so a journal may outlive its run.
class TempJournal {
public:
    /// `stateFolder` may be empty (none known). `roots`: the roots of the trees this run
    /// writes into; a temporary belongs to the longest one that holds it.
    TempJournal(std::string stateFolder, std::vector<std::string> roots);
    /// Settles; a journal all of whose temporaries are gone is removed, the rest are left
    /// for the next run.
    ~TempJournal();
    TempJournal(const TempJournal&) = delete;
    TempJournal& operator=(const TempJournal&) = delete;

    /// Writes down the temporary `name` about to be made in `folder` (a temporary must not
    /// be made without it). False when no journal takes it, failure() saying where and why,
    /// with a failure pending: the root's own where it concerns only that place (no
    /// permission), else 1007, which reaches the whole run.
    [[nodiscard]] bool record(const FolderHandle& folder, const std::string& name);
    /// Writes down that `name` in `folder` is about to become a copy of `size` bytes whose
    /// modification time must be `mtime`: where a medium loses the time at the rename, a kill
    /// before it is set again would leave the copy newer than its source. The entry goes once
    /// the copy has that time (settle()); a recovery gives it that time if the copy still has
    /// its naming's. False when no journal takes it (nothing pending).
    [[nodiscard]] bool recordTime(const FolderHandle& folder, const std::string& name,
                                  const timespec& mtime, std::uint64_t size);
    /// Takes back the pending time of `name` in `folder`: the copy did not take that name, so
    /// what has it is not the copy.
    void withdrawTime(const FolderHandle& folder, const std::string& name) noexcept;
    /// Takes back the entry for `name` in `folder`: something had that name already, so no
    /// recovery may remove what has it.
    void withdrawTaken(const FolderHandle& folder, const std::string& name) noexcept;
    /// Takes back the entry for `name` in `folder` if nothing has that name: its create
    /// failed.
    void withdrawIfAbsent(const FolderHandle& folder, const std::string& name) noexcept;
    /// Looks at every entry's temporary and forgets those confirmed gone. Nothing pending.
    void settle() noexcept;
    /// Why the last record() failed, naming each place that refused it.
    const std::string& failure() const { return failure_; }
    /// Entries not yet confirmed gone.
    std::size_t size() const;

    /// For each ended journal in `stateFolder` and in each of `roots`: removes every
    /// temporary it names below one of `roots` (through folders opened beneath the entry's
    /// root, never through a link), if that is a regular file or link whose name `isOurs`
    /// accepts, and forgets those confirmed gone; entries elsewhere stay untouched. A
    /// journal that is not our own regular file of our format within the size bound is left
    /// alone. Nothing pending.
    static RecoveryCount recoverEnded(const std::string& stateFolder,
                                      const std::vector<std::string>& roots,
                                      bool (*isOurs)(const std::string& name));

private:
    /// The root and the path below it that `name` in `folder` is written down as.
    std::pair<std::string, std::string> place(const FolderHandle& folder,
                                              const std::string& name) const;
    void withdraw(const FolderHandle& folder, const std::string& name, bool onlyIfAbsent,
                  bool time) noexcept;
    /// record() for a temporary (`time` null) or a pending time.
    bool write(const FolderHandle& folder, const std::string& name, const PendingTime* time);
    struct State;
    std::unique_ptr<State> state_;
    std::string failure_;
};

} // namespace qm
