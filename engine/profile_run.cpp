#include "clock.h"
#include "engine.h"
#include "file_ops.h"
#include "folder_handle.h"
#include "folders.h"
#include "format_settings.h"
#include "pending_io.h"
#include "profile_file.h"
#include "profile_table.h"
#include "run_view.h"
#include "sync_record.h"
#include "temp_journal.h"
#include "temp_name.h"

#include <exception>

namespace qm {

namespace {

constexpr char CheckAdvice[] = "Please check the drive/folder and ensure it is accessible";

void reportUnreachable(RunView& view, const std::string& which) {
    const std::string headline = which + " drive and folder cannot be accessed..!";
    view.showError(headline + "\r\r" + CheckAdvice + "!");
    view.appendLog("ERROR: " + headline);
    view.appendLog(std::string("             ") + CheckAdvice + ".");
}

/// "3 files could not be written." and the like, for the box at the end of a run.
/// A box at the end of a run with failures also names what every run leaves out.
std::string failureWarning(std::int64_t files, std::int64_t folders, std::int64_t hidden) {
    const auto counted = [](std::int64_t count, const char* one, const char* many) {
        return std::to_string(count) + (count == 1 ? one : many);
    };
    std::string text;
    if (files > 0)
        text = counted(files, " file could not be written", " files could not be written");
    if (folders > 0)
        text += (text.empty() ? "" : ", ") + counted(folders, " folder could not be made or read",
                                                     " folders could not be made or read");
    text += ".\r\rThe run log names each of them after \"Error\".";
    if (hidden == 1)
        text += "\r\r1 hidden folder (its name begins with \".\") was left out, as always; the "
                "log names it after \"Left out\".";
    else if (hidden > 1)
        text += "\r\r" + std::to_string(hidden) +
                " hidden folders (their names begin with \".\") were left out, as always; the "
                "log names them after \"Left out\".";
    return text;
}

} // namespace

void Engine::runProfile() {
    const int row = state_.SelectedRow;
    state_.FilesFailed = 0;
    state_.FoldersFailed = 0;
    state_.ConflictsKept = 0;
    state_.HiddenFoldersLeftOut = 0;
    state_.busyFlag = 1;
    view_.setRunControlsEnabled(false);
    runFailed_ = false;
    // What killed runs left in this profile's trees goes first.
    recoverTemporaries();
    struct CloseJournal {
        Engine& engine;
        ~CloseJournal() {
            engine.batch_.closeJournal(); // what it still names waits for the next run
        }
    } closeJournal{*this};

    std::string failure;
    try {
        if (state_.runAllFlag == 0)
            view_.clearLog();
        if (table_.cell(ColType, row) == "BackUP")
            runBackup();
        else
            runSynchronisation();
        restoreAfterRun();
        warnOfFailures();
        return;
    } catch (const std::exception& error) {
        failure = errorText(error);
    }

    // Ended by an error: files and listings are closed and the temporary is gone (RAII);
    // the row must not keep saying "Busy".
    state_.busyFlag = 0;
    view_.setRunControlsEnabled(true);
    state_.SelectedRow = row;
    std::string saveFailure;
    try {
        markRowFailed();
    } catch (const std::exception& error) {
        saveFailure = errorText(error);
    }
    view_.selectCell(1, 1);
    view_.showTopLevelError(failure);
    // a save the run itself failed at fails again the same way: one box says it
    if (!saveFailure.empty() && saveFailure != failure)
        view_.showTopLevelError(saveFailure);
    warnOfFailures();
}

void Engine::warnOfFailures() {
    if (state_.runAllFlag != 0) {
        // Run All shows one box for every profile at its end
        runAllFilesFailed_ += state_.FilesFailed;
        runAllFoldersFailed_ += state_.FoldersFailed;
        runAllHiddenLeftOut_ += state_.HiddenFoldersLeftOut;
        return;
    }
    if (state_.FilesFailed > 0 || state_.FoldersFailed > 0)
        view_.showWarning(
            failureWarning(state_.FilesFailed, state_.FoldersFailed, state_.HiddenFoldersLeftOut));
}

void Engine::runAll() {
    state_.runAllFlag = 1;
    runAllFilesFailed_ = 0;
    runAllFoldersFailed_ = 0;
    runAllHiddenLeftOut_ = 0;
    view_.clearLog();
    const int rowCount = table_.RowCount();
    for (int row = 1; row < rowCount; ++row) {
        view_.makeCurrentRow(row);
        runProfile();
        view_.appendLog("-");
        if (view_.stopRequested())
            break;
    }
    state_.runAllFlag = 0;
    if (runAllFilesFailed_ > 0 || runAllFoldersFailed_ > 0)
        view_.showWarning(
            failureWarning(runAllFilesFailed_, runAllFoldersFailed_, runAllHiddenLeftOut_));
}

void Engine::runBackup() {
    const int row = state_.SelectedRow;
    state_.FilesSeen = 0;
    state_.FilesUpdated = 0;
    state_.SourceFolder = table_.cell(ColSource, row);
    state_.TargetFolder = table_.cell(ColTarget, row);
    const std::string options = table_.cell(ColOptions, row);
    view_.appendLog("PROFILE -> " + table_.cell(ColName, row));

    const bool reachable = folderChecks();
    // the pass may write only into the folder checked here
    struct Unpin {
        Engine& engine;
        ~Unpin() { engine.pinnedTargetRoot_.reset(); }
    } unpin{*this};
    const bool datedReady = !optionDatestamp(options) || openDatestampFolder(reachable);
    if (reachable && datedReady)
        transferPass();
    else
        markRowFailed();
}

bool Engine::openDatestampFolder(bool targetChecked) {
    const std::string target = state_.TargetFolder;
    const std::string name = datestampFolderName();
    state_.TargetFolder = joinPath(target, name);
    const std::string& dated = state_.TargetFolder;
    // The target as the user gave it (links on its way are theirs); the one name inside it
    // is anybody's who may write there, so no link of it is followed.
    FolderHandle targetRoot;
    if (!targetRoot.openRoot(target)) {
        const int code = takeIoResult();
        if (targetChecked) {
            reportError(code, target);
            ++state_.FoldersFailed;
        }
        return false;
    }
    FolderHandle folder;
    int code = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (folder.openBeneath(targetRoot, name, dated))
            break;
        code = takeIoResult();
        if (targetRoot.status(name))
            break; // there, but no folder that may be opened without a link
        if (targetRoot.makeFolder(name))
            continue;
        code = takeIoResult();
        if (code != 183)
            break; // 183: something took the name meanwhile, looked at once more
    }
    if (!folder.isOpen()) {
        if (const auto status = targetRoot.status(name);
            status && status->kind != EntryKind::Folder) {
            const std::string text =
                "   Error (a link or no folder where the datestamped folder belongs; nothing is "
                "written through it) -> " +
                dated;
            showAndLog(text);
        } else {
            reportError(code, dated);
        }
        ++state_.FoldersFailed;
        return false;
    }
    pinnedTargetRoot_ = folder.identity();
    return pinnedTargetRoot_.has_value();
}

bool Engine::openTargetRoot(FolderHandle& root, const std::string& path) const {
    return pinnedTargetRoot_ ? root.openRootAs(path, *pinnedTargetRoot_) : root.openRoot(path);
}

void Engine::runSynchronisation() {
    const int row = state_.SelectedRow;
    state_.SourceFolder = table_.cell(ColSource, row);
    state_.TargetFolder = table_.cell(ColTarget, row);
    state_.FilesSeen = 0;
    state_.FilesUpdated = 0;
    view_.appendLog("PROFILE -> " + table_.cell(ColName, row));

    if (!folderChecks()) {
        markRowFailed();
        return;
    }
    // What changed in both trees since the last completed run is known from when it began;
    // a little earlier, since the file system's clock may run behind this one.
    timespec start = currentFileTime();
    start.tv_sec -= 2;
    const SyncRecord record(tempJournalFolder(), state_.SourceFolder, state_.TargetFolder);
    lastSyncStart_ = record.lastStart();
    struct Forget {
        Engine& engine;
        ~Forget() { engine.lastSyncStart_.reset(); }
    } forget{*this};

    transferPass();
    state_.SourceFolder = table_.cell(ColTarget, row);
    state_.TargetFolder = table_.cell(ColSource, row);
    view_.appendLog("Sync Phase -> " + table_.cell(ColName, row));
    transferPass();

    // A run with failures left files unsynchronised: the next one must still see them as
    // changed since the record.
    if (runFailed_ || state_.FilesFailed > 0 || state_.FoldersFailed > 0)
        return;
    if (!record.store(start))
        view_.appendLog("   The time of this run could not be recorded in " +
                        (record.path().empty() ? std::string("a state folder") : record.path()) +
                        ": the next run keeps a copy of every file that differs");
}

bool Engine::folderChecks() {
    bool reachable = true;
    if (!changeDirectory(state_.TargetFolder)) {
        takeIoResult();
        reportUnreachable(view_, "Target/Destination");
        reachable = false;
    } else if (!changeDirectory(state_.SourceFolder)) {
        takeIoResult();
        reportUnreachable(view_, "Source/Location");
        reachable = false;
    }
    if (!changeDirectory(state_.StartFolder))
        ioCheck();
    return reachable;
}

void Engine::markRowFailed() {
    const int row = state_.SelectedRow;
    table_.setCell(ColLastRun, row, dateTimeText(clock_.now(), format_));
    table_.setCell(ColStatus, row, "ERROR");
    SaveProfiles(table_, state_.StartFolder);
}

void Engine::restoreAfterRun() {
    state_.busyFlag = 0;
    view_.setRunControlsEnabled(true);
    view_.selectCell(1, 1);
    SaveProfiles(table_, state_.StartFolder);
}

} // namespace qm
