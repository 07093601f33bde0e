#include "attributes.h"
#include "clock.h"
#include "engine.h"
#include "failure_scope.h"
#include "file_ops.h"
#include "folders.h"
#include "format_settings.h"
#include "listing.h"
#include "pending_io.h"
#include "profile_file.h"
#include "profile_table.h"
#include "run_figures.h"
#include "run_view.h"
#include "temp_name.h"

namespace qm {

void Engine::transferPass() {
    state_.PreviousSpeed = 0;
    const double start = clock_.now();
    const double startTick = clock_.steadyNow();

    const int row = state_.SelectedRow;
    const std::string optionCode = table_.cell(ColOptions, row);
    table_.setCell(ColStatus, row, "Busy");
    view_.repaintTable();

    std::int64_t byteTotal = 0;
    state_.ScannedEntryCount = 0;
    view_.setProgress(0);
    state_.ListBox1.clear();
    state_.ListBox2.clear();

    view_.appendLog("START -> " + table_.cell(ColType, row) + " at " +
                    dateTimeText(start, format_));
    view_.appendLog(" Source/Location -> " + state_.SourceFolder);
    view_.appendLog(" Target/Destination -> " + state_.TargetFolder);
    view_.setStatus("Scanning Folders...");

    // The roots first, then the scan appends straight into the lists: no second copy.
    state_.ListBox1.push_back(state_.SourceFolder);
    state_.ListBox2.push_back(state_.TargetFolder);
    ScanFolderTree(state_.ListBox1, state_.ListBox2, state_.SourceFolder, state_.TargetFolder);

    const std::string totalFolders =
        " Total Folders -> " + std::to_string(state_.ListBox1.size() - 1);
    view_.setStatus(totalFolders);
    view_.appendLog(totalFolders);

    std::int32_t constructed = 0;
    for (std::size_t i = 0; i < state_.ListBox2.size(); ++i) {
        const std::string& folder = state_.ListBox2[i];
        if (i > 0) {
            // a link in the target tree is replaced by a folder, never written through
            // (the root is left alone: the user may point it at a mounted medium)
            if (auto status = statPath(folder); status && status->kind == EntryKind::Symlink) {
                removeFile(folder);
                takeIoResult();
            }
        }
        if (changeDirectory(folder))
            continue;
        const int enterCode = takeIoResult();
        view_.setStatus("Reconstructing folders..." + folder);
        if (!createFolder(folder)) {
            const int code = takeIoResult();
            if (!concernsOnlyThisPath(code)) {
                setPendingIo(code);
                ioCheck(); // a full or read-only medium: every later file would fail too
            }
            // Its files fail one by one and are named; name the folder too. "Already
            // exists" would hide why it could not be entered.
            reportError(code == 183 ? enterCode : code, folder);
        }
        ++constructed;
    }
    if (constructed > 0) {
        const std::string text = " Folders constructed -> " + std::to_string(constructed);
        view_.setStatus(text);
        view_.appendLog(text);
    }

    // A pass ended by an error leaves no temporaries behind.
    struct Discard {
        Engine& engine;
        ~Discard() { engine.discardPending(); }
    } discard{*this};
    std::int32_t entryCounter = 0;
    int shownProgress = 0;
    ListEntry entry;
    for (std::size_t i = 0; i < state_.ListBox1.size(); ++i) {
        FolderListing listing(state_.ListBox1[i]);
        if (listing.error() != 0) {
            // Its files are not backed up: say so rather than pass over it in silence.
            reportError(listing.error(), state_.ListBox1[i]);
            continue;
        }
        while (listing.next(entry)) {
            ++entryCounter;
            const int progress = progressPosition(entryCounter, state_.ScannedEntryCount);
            if (progress != shownProgress) {
                view_.setProgress(progress);
                shownProgress = progress;
            }
            // folders by their attribute: every file goes on, empty or not
            if (entry.attributes & faDirectory)
                continue;
            if (isTempName(entry.name)) {
                // Left by a killed run: never carried into the other tree, and cleared away
                // here, since no later copy of its file may come to replace it.
                removeFile(joinPath(state_.ListBox1[i], entry.name));
                takeIoResult();
                continue;
            }
            if (entry.kind != EntryKind::Special) {
                state_.CurrentFileSize = entry.size;
                byteTotal += entry.size;
            }
            updateEntry(state_.ListBox1[i], entry, state_.ListBox2[i], entry.name, optionCode);
            pump(); // unchanged files copy no blocks, so nothing else pumps
        }
        if (listing.error() != 0) {
            // read part-way: the rest of the folder was never seen
            reportError(listing.error(), state_.ListBox1[i]);
            runFailed_ = true;
        }
    }

    commitPending();

    const double end = clock_.now();
    const double elapsed = clock_.steadyNow() - startTick;
    table_.setCell(ColLastRun, row, dateTimeText(end, format_));
    table_.setCell(ColStatus, row, runFailed_ ? "ERROR" : "Done");
    SaveProfiles(table_, state_.StartFolder);

    view_.appendLog(" Total Files   -> " + std::to_string(state_.FilesSeen));
    view_.appendLog(" Files Updated -> " + std::to_string(state_.FilesUpdated));
    const std::string summary = summaryLine(table_.cell(ColName, row), byteTotal, elapsed);
    view_.setStatus(summary);
    view_.appendLog(summary);
}

} // namespace qm
