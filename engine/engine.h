#pragma once

#include "commit_batch.h"
#include "file_ops.h"
#include "io_error.h"
#include "run_state.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace qm {

class BlockFile;
class Clock;
class FolderHandle;
class TempJournal;
class ProfileTable;
class RunView;
class StatusesAhead;
struct FormatSettings;
struct ListEntry;

/// Raised where the run stops at the user's request.
class RunStopped : public RuntimeError {
public:
    RunStopped() : RuntimeError("The run was stopped by the user") {}
};

/// The backup engine: folder scan, file update, transfer pass and profile runs.
/// Never touches a widget; talks to the window through RunView only.
class Engine : private CommitBatch::Owner {
public:
    Engine(ProfileTable& table, RunView& view, RunState& state, const FormatSettings& format,
           const Clock& clock);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    /// Lists every folder below `source` (not entering names that begin with ".") and
    /// appends each with its twin below `target`.
    void ScanFolderTree(std::vector<std::string>& sourceList, std::vector<std::string>& targetList,
                        const std::string& source, const std::string& target);

    /// Compares one file with its twin and copies it when the options say so. throw RuntimeError
    void UpdateFile(const std::string& sourceFolder, const std::string& fileName,
                    const std::string& targetFolder, const std::string& targetName,
                    const std::string& optionCode);

    /// One transfer pass from SourceFolder to TargetFolder for row SelectedRow. throw RuntimeError
    void transferPass();
    /// Runs the profile in row SelectedRow ("Run Selected Profile"). Never throws.
    void runProfile();
    /// Runs every profile in turn ("Run All Profiles"). Never throws.
    void runAll();

    using ProbePoint = qm::ProbePoint;
    using Probe = std::function<void(ProbePoint point, const std::string& path)>;
    /// Test seam: called at every probe point (an empty function removes it).
    void setProbe(Probe probe) { probe_ = std::move(probe); }

    std::string GetComputerNameText() const;
    std::string DateStampText() const;
    /// The datestamped folder's name, computer name and date stamp, made safe to be one
    /// name directly inside the target: "/" and NUL become "_", "." and ".." are not used.
    std::string datestampFolderName() const;

private:
    /// Where a copy that did not raise failed, with the code to report. NotRegular: the
    /// source turned out to be no regular file when opened and is skipped. Changed: the
    /// source changed while it was read, so the copy was not kept. LeftAlone: the target
    /// changed since it was compared and is no longer older (already reported).
    enum class FailedAt { Nothing, Source, Target, NotRegular, Changed, LeftAlone };
    struct CopyResult {
        FailedAt failedAt = FailedAt::Nothing;
        int code = 0;
    };

    /// UpdateFile for an entry the pass has just listed (no second look at the source), in
    /// folders that are open; their paths are the ones messages name. `known`: the target
    /// folder's statuses read ahead, forgotten once anything is written there.
    void updateEntry(const FolderHandle& sourceFolder, const ListEntry& source,
                     const std::shared_ptr<FolderHandle>& targetFolder,
                     const std::string& targetName, const std::string& optionCode,
                     StatusesAhead* known = nullptr);
    void probe(ProbePoint point, const std::string& path) const override {
        if (probe_)
            probe_(point, path);
    }
    void copyFailed(int code, const std::string& target, bool named) override;
    void copyPlaced(const PendingCopy& copy) override;
    void copyLeftAlone(const std::string& target) override { reportLeftAlone(target); }
    bool keepsChanged(const PathStatus& now) const override;
    void versionKept(const PendingCopy& copy, const std::string& keptName) override;
    void journalRefused(const std::string& why) override;
    std::vector<std::string> passRoots() const override {
        return {state_.SourceFolder, state_.TargetFolder};
    }
    /// Writes the source into a temporary beside the target and queues its rename.
    /// Fails at the source when it cannot be opened, at the target when its path clashes
    /// (IoFailure::concernsOnlyThisPath). throw RuntimeError for a fault of the medium
    /// `decided`: the target as the decision saw it (none: nothing had its name); only that
    /// is ever replaced. `keepReplaced`: it is kept under a conflict name first.
    CopyResult copyFile(const FolderHandle& sourceFolder, const ListEntry& source,
                        const std::shared_ptr<FolderHandle>& targetFolder,
                        const std::string& targetName, const std::optional<PathStatus>& decided,
                        bool keepReplaced);
    /// Reproduces a symbolic link as the same link; fails like copyFile.
    CopyResult copyLink(const FolderHandle& sourceFolder, const ListEntry& source,
                        const FolderHandle& targetFolder, const std::string& targetName,
                        const std::optional<PathStatus>& decided);
    /// Pumps the window's events; ends the run when the user asked to stop it.
    void pump(); // throw RunStopped
    /// Shows a text in the status line and appends it to the run log.
    void showAndLog(const std::string& text);
    /// Shows "   Error <code> -> <path>" and logs it.
    void reportError(int code, const std::string& path);
    /// A copy not put in place because its target changed since the decision: logged, and
    /// no longer counted as updated.
    void reportLeftAlone(const std::string& targetPath);
    /// The date-time text of a file time, as the overwrite question shows it.
    std::string fileTimeText(const timespec& time) const;

    void runBackup();
    void runSynchronisation();
    /// Target then source must be enterable; reports the first that is not.
    bool folderChecks(); // throw IoError (returning to StartFolder)
    /// Writes the current time and "ERROR" into the row and saves the table.
    void markRowFailed(); // throw IoError
    void restoreAfterRun();
    /// The warning box for files of the run that could not be written; under Run All the
    /// counts are added up for one box at its end.
    void warnOfFailures();

    ProfileTable& table_;
    RunView& view_;
    RunState& state_;
    const FormatSettings& format_;
    const Clock& clock_;
    std::unique_ptr<char[]> buffer_; ///< the copy block, allocated once
    /// The source and target devices whose file systems last refused to share extents.
    std::optional<std::pair<dev_t, dev_t>> noClone_;

    /// Removes what ended runs left in the trees of the profile in row SelectedRow, whose
    /// roots this run's journal then files its entries under. Never throws.
    void recoverTemporaries() noexcept;
    /// True during a synchronisation's passes: links of the user's are never replaced.
    bool synchronising_ = false;
    /// The start of this pair's last completed synchronisation; none on a first run.
    std::optional<timespec> lastSyncStart_;
    /// A conflict copy made in a pass's target, to be carried into its source at the pass's
    /// end, so that one run leaves both trees alike.
    struct KeptVersion {
        std::string folder; ///< in the pass's target
        std::string name;
        std::string twinFolder; ///< in the pass's source
    };
    std::vector<KeptVersion> keptVersions_;
    /// Copies this pass's conflict copies into its source tree. throw RuntimeError
    void carryKeptVersions(const std::string& optionCode);
    /// A file of either tree with this modification time was changed since the last run.
    bool changedSinceLastSync(const timespec& mtime) const;
    /// Both versions changed since the last run and hold different bytes: the one the copy
    /// replaces is to be kept.
    bool isConflict(const FolderHandle& sourceFolder, const ListEntry& source,
                    const FolderHandle& targetFolder, const std::string& targetName,
                    const PathStatus& target);
    void logSkippedLink(const std::string& path);
    /// True when `folder`'s medium takes names that differ only in case for one name: asked
    /// of the medium with a journalled temporary of ours (true when it cannot be asked, so
    /// that one file never silently stands for two).
    bool takesCaseAsOne(const FolderHandle& folder);
    /// Names `sourcePath` as failed: the target takes it for `first`, met before it.
    void reportNamesake(const std::string& sourcePath, const std::string& first);
    /// A link in one tree and a regular file under the same name in the other, in a
    /// synchronisation: both are the user's, so neither replaces the other.
    void logSkippedKinds(const std::string& path, bool sourceIsLink);
    /// The pass's target root by device and inode: a folder of the source tree that is the
    /// same folder (by path, a bind mount or any other way) is never scanned, copied into
    /// itself or cleaned.
    std::optional<std::pair<dev_t, ino_t>> leftOut_;
    /// Lists one folder of the scan; false when it is the left-out folder (nothing of it is
    /// counted or listed). `root`: the scan's root, never left out.
    bool scanFolder(std::vector<std::string>& sourceList, std::vector<std::string>& targetList,
                    const FolderHandle& rootFolder, const std::string& source,
                    const std::string& target, bool root);
    /// The datestamped folder checked by runBackup: the pass's target root must be this very
    /// folder. None for every other pass.
    std::optional<std::pair<dev_t, ino_t>> pinnedTargetRoot_;
    /// Makes or opens the datestamped folder directly inside the target, never through a link,
    /// and pins the pass's target root to it. False, named in the log, when it cannot serve;
    /// a target that cannot be opened is named only when `targetChecked` (else it was already).
    bool openDatestampFolder(bool targetChecked);
    /// Opens the pass's target root, only as the pinned folder where there is one. False with
    /// code pending.
    bool openTargetRoot(FolderHandle& root, const std::string& path) const;
    Probe probe_;
    std::int64_t runAllFilesFailed_ = 0;
    std::int64_t runAllFoldersFailed_ = 0;
    std::int64_t runAllHiddenLeftOut_ = 0;
    /// Copies written and closed but not yet renamed into place.
    CommitBatch batch_;
    /// Something of this run could not be read or written in full: it does not end "Done".
    bool runFailed_ = false;
};

} // namespace qm
