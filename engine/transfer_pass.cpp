#include "attributes.h"
#include "clock.h"
#include "engine.h"
#include "file_ops.h"
#include "folder_handle.h"
#include "folders.h"
#include "format_settings.h"
#include "io_error.h"
#include "listing.h"
#include "listing_reader.h"
#include "namesakes.h"
#include "pending_io.h"
#include "profile_file.h"
#include "profile_table.h"
#include "run_figures.h"
#include "run_view.h"
#include "statuses_ahead.h"
#include "temp_journal.h"
#include "temp_name.h"

#include <cerrno>

namespace qm {

namespace {

/// The device and inode of a folder the user named (links followed); none when it cannot
/// be opened.
std::optional<std::pair<dev_t, ino_t>> folderIdentity(const std::string& path) {
    FolderHandle folder;
    if (!folder.openRoot(path)) {
        takeIoResult();
        return std::nullopt;
    }
    return folder.identity();
}

/// Marks a target folder that is a link of the user's in a synchronisation.
constexpr char SkippedLink = 2;

/// True when `folder` is one of `roots` or lies below one (each held with a final "/").
bool isBelowAny(const std::string& folder, const std::vector<std::string>& roots) {
    for (const std::string& root : roots)
        if ((folder + '/').starts_with(root))
            return true;
    return false;
}

/// A root with one final "/", as the scan builds its items from it.
std::string withSlash(const std::string& root) {
    return root.ends_with('/') ? root : root + '/';
}

/// The part of a scanned folder's path below its root (`prefix`, held with its "/").
std::string belowRoot(const std::string& folder, const std::string& prefix) {
    return folder.starts_with(prefix) ? folder.substr(prefix.size()) : folder;
}

/// Opens the folder that holds `relative` beneath `root` (the root itself for a folder just
/// below it) and gives the last name. False with code pending.
bool openParent(const FolderHandle& root, const std::string& relative, const std::string& path,
                FolderHandle& parent, std::string& name) {
    const std::size_t slash = relative.find_last_of('/');
    name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    const std::string above = slash == std::string::npos ? "" : relative.substr(0, slash);
    const std::size_t cut = path.size() > name.size() ? path.size() - name.size() - 1 : 0;
    return parent.openBeneath(root, above, path.substr(0, cut));
}

/// The mode of a folder made in the target: the source folder's, never wider for group and
/// others, so a private folder's backup stays private. Its owner keeps every right, or the
/// next run could not write a changed file into it.
mode_t madeFolderMode(const std::string& sourceFolder) {
    const std::optional<PathStatus> source = statFollowed(sourceFolder);
    return source ? static_cast<mode_t>((source->mode & 0777) | 0700) : 0700;
}

} // namespace

void Engine::transferPass() {
    state_.PreviousSpeed = 0;
    state_.PermissionsNotKept = 0;
    state_.OwnersNotKept = 0;
    keptVersions_.clear();
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
    // A backup into a folder of its own source must not back up the backup, however the
    // source tree reaches that folder.
    leftOut_ = pinnedTargetRoot_ ? pinnedTargetRoot_ : folderIdentity(state_.TargetFolder);
    try {
        ScanFolderTree(state_.ListBox1, state_.ListBox2, state_.SourceFolder, state_.TargetFolder);
    } catch (...) {
        leftOut_.reset();
        throw;
    }
    leftOut_.reset();

    const std::string totalFolders =
        " Total Folders -> " + std::to_string(state_.ListBox1.size() - 1);
    view_.setStatus(totalFolders);
    view_.appendLog(totalFolders);

    std::int32_t constructed = 0;
    // Folders that could not be made, each with a final "/": named once, and neither the
    // folders below them nor their files are tried.
    std::vector<std::string> failedFolders;
    // In a synchronisation both trees are the user's: a link where the other tree has a
    // folder stays, named once, and nothing below it is tried.
    std::vector<std::string> skippedLinks;
    std::vector<char> folderFailed(state_.ListBox2.size(), 0);
    synchronising_ = table_.cell(ColType, row) != "BackUP";
    const std::string targetPrefix = withSlash(state_.TargetFolder);
    // Folders are made and links replaced through the folder above, opened beneath the root
    // without passing any link: never in a tree a link swapped in on the way leads to.
    FolderHandle builtRoot;
    Namesakes folderNamesakes;
    std::optional<bool> rootFoldsCase; // asked of the target once it matters
    for (std::size_t i = 0; i < state_.ListBox2.size(); ++i) {
        const std::string& folder = state_.ListBox2[i];
        if (isBelowAny(folder, failedFolders)) {
            folderFailed[i] = 1;
            continue;
        }
        if (isBelowAny(folder, skippedLinks)) {
            folderFailed[i] = SkippedLink;
            continue;
        }
        const std::string relative = i > 0 ? belowRoot(folder, targetPrefix) : std::string();
        if (i > 0) {
            // a link in the target tree is replaced by a folder, never written through
            // (the root is left alone: the user may point it at a mounted medium)
            if (auto status = statPath(folder); status && status->kind == EntryKind::Symlink) {
                if (synchronising_) {
                    logSkippedLink(folder);
                    folderFailed[i] = SkippedLink;
                    skippedLinks.push_back(folder + '/');
                    continue;
                }
                FolderHandle parent;
                std::string name;
                if (openParent(builtRoot, relative, folder, parent, name))
                    (void)parent.remove(name);
                takeIoResult();
            }
        }
        // Two folders the target's medium would merge into one: the second is named, and
        // nothing of it goes into the first.
        if (const std::string* first = i > 0 ? folderNamesakes.met(relative) : nullptr; first) {
            if (!rootFoldsCase)
                rootFoldsCase = takesCaseAsOne(builtRoot);
            if (*rootFoldsCase) {
                reportNamesake(state_.ListBox1[i], *first);
                ++state_.FoldersFailed;
                folderFailed[i] = 1;
                failedFolders.push_back(folder + '/');
                continue;
            }
        }
        bool made = changeDirectory(folder);
        int enterCode = 0;
        if (!made) {
            enterCode = takeIoResult();
            view_.setStatus("Reconstructing folders..." + folder);
            const mode_t mode = madeFolderMode(state_.ListBox1[i]);
            if (i == 0) {
                made = createFolder(folder, mode);
            } else {
                FolderHandle parent;
                std::string name;
                made = openParent(builtRoot, relative, folder, parent, name) &&
                       parent.makeFolder(name, mode);
                // There already, but beyond what a path can reach (deeper than the system's
                // path limit): it is entered through the folders above it.
                if (!made && enterCode == codeFromErrno(ENAMETOOLONG) && parent.isOpen()) {
                    const auto there = parent.status(name);
                    made = there && there->kind == EntryKind::Folder;
                    if (made) {
                        takeIoResult();
                        continue;
                    }
                }
            }
            ++constructed;
        }
        if (made && i == 0)
            made = openTargetRoot(builtRoot, folder);
        if (!made) {
            const IoFailure failure = takeIoFailure();
            if (!failure.concernsOnlyThisPath()) {
                setPendingIo(failure);
                ioCheck(); // a full or read-only medium: every later file would fail too
            }
            // "Already exists" would hide why it could not be entered.
            reportError(failure.code == 183 && enterCode != 0 ? enterCode : failure.code, folder);
            ++state_.FoldersFailed;
            folderFailed[i] = 1;
            failedFolders.push_back(folder.ends_with('/') ? folder : folder + '/');
        }
    }
    if (constructed > 0) {
        const std::string text = " Folders constructed -> " + std::to_string(constructed);
        showAndLog(text);
    }

    // A pass ended by an error leaves no temporaries behind.
    struct Discard {
        Engine& engine;
        ~Discard() { engine.batch_.discard(); }
    } discard{*this};
    probe(ProbePoint::FoldersRebuilt, state_.TargetFolder);
    // Every folder is opened beneath its root without passing any link, and every entry is
    // reached through its folder: a folder swapped for a link during the pass never leads
    // out of the trees.
    const std::string sourcePrefix = withSlash(state_.SourceFolder);
    FolderHandle sourceRoot;
    const bool sourceOpen = sourceRoot.openRoot(state_.SourceFolder);
    const int sourceRootCode = sourceOpen ? 0 : takeIoResult();
    auto targetRoot = std::make_shared<FolderHandle>();
    if (!folderFailed[0] && !openTargetRoot(*targetRoot, state_.TargetFolder)) {
        reportError(takeIoResult(), state_.TargetFolder);
        ++state_.FoldersFailed;
        for (char& failed : folderFailed)
            failed = failed ? failed : 1;
    }
    std::int32_t entryCounter = 0;
    int shownProgress = 0;
    ListEntry entry;
    // A large folder is read and its files stat-ed on a thread of its own, a few entries
    // ahead: those stats overlap the work on the entries before them.
    ListingReader listing;
    // The next folder's target entries are stat-ed on a thread of their own while this
    // folder is worked on.
    StatusesAhead known;
    Namesakes namesakes;
    for (std::size_t i = 0; i < state_.ListBox1.size(); ++i) {
        const std::string& sourcePath = state_.ListBox1[i];
        probe(ProbePoint::BeforeListing, sourcePath);
        FolderHandle sourceBelow;
        if (i > 0 && sourceOpen &&
            !sourceBelow.openBeneath(sourceRoot, belowRoot(sourcePath, sourcePrefix), sourcePath)) {
            // swapped for a link or removed since the scan: nothing of it is read
            reportError(takeIoResult(), sourcePath);
            ++state_.FoldersFailed;
            continue;
        }
        const FolderHandle& sourceFolder = i > 0 ? sourceBelow : sourceRoot;
        listing.start(sourceFolder, ListingDetail::Files);
        if (!sourceOpen || listing.error() != 0) {
            // Its files are not backed up: say so rather than pass over it in silence.
            reportError(sourceOpen ? listing.error() : sourceRootCode, sourcePath);
            ++state_.FoldersFailed;
            continue;
        }
        std::shared_ptr<FolderHandle> targetFolder = targetRoot;
        if (i > 0 && !folderFailed[i]) {
            targetFolder = std::make_shared<FolderHandle>();
            const std::string& targetPath = state_.ListBox2[i];
            if (!targetFolder->openBeneath(*targetRoot, belowRoot(targetPath, targetPrefix),
                                           targetPath)) {
                // swapped for a link since it was made: nothing is written there
                reportError(takeIoResult(), targetPath);
                ++state_.FoldersFailed;
                folderFailed[i] = 1;
            }
        }
        StatusesAhead* knownHere = !folderFailed[i] && known.take(*targetFolder) ? &known : nullptr;
        if (i + 1 < state_.ListBox2.size() && !folderFailed[i + 1])
            known.read(targetRoot, belowRoot(state_.ListBox2[i + 1], targetPrefix));
        namesakes.clear();
        std::optional<bool> foldsCase; // asked of this target folder once it matters
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
            // Files of ours: half a copy (a killed run's, or one under way) is never carried
            // into the other tree, which is the user's own work too; a journal, kept here
            // while the state folder fails, never leaves its tree.
            if (isTreeJournalName(entry.name) || (synchronising_ && isTempName(entry.name))) {
                showAndLog((isTreeJournalName(entry.name)
                                ? "   Skipped (a journal of unfinished copies) -> "
                                : "   Skipped (a temporary of an unfinished copy) -> ") +
                           sourceFolder.entryPath(entry.name));
                continue;
            }
            if (entry.kind != EntryKind::Special) {
                state_.CurrentFileSize = entry.size;
                byteTotal += entry.size;
            }
            if (folderFailed[i] == SkippedLink)
                continue; // below a link of the user's, left as it is
            if (folderFailed[i]) {
                // its folder, named above, could not be made: one line for all its files
                if (entry.kind != EntryKind::Special) {
                    ++state_.FilesSeen;
                    ++state_.FilesFailed;
                }
                continue;
            }
            // Two names the target's medium would take for one (FAT, exFAT, most shares):
            // the first goes, the second is named, never written over the first.
            if (const std::string* first = namesakes.met(entry.name); first) {
                if (!foldsCase)
                    foldsCase = takesCaseAsOne(*targetFolder);
                if (*foldsCase) {
                    reportNamesake(sourceFolder.entryPath(entry.name), *first);
                    ++state_.FilesSeen;
                    ++state_.FilesFailed;
                    continue;
                }
            }
            updateEntry(sourceFolder, entry, targetFolder, entry.name, optionCode, knownHere);
            pump(); // unchanged files copy no blocks, so nothing else pumps
        }
        if (listing.error() != 0) {
            // read part-way: the rest of the folder was never seen
            reportError(listing.error(), sourcePath);
            runFailed_ = true;
        }
        listing.finish();
    }

    batch_.commit();
    if (synchronising_)
        carryKeptVersions(optionCode);

    const double end = clock_.now();
    const double elapsed = clock_.steadyNow() - startTick;
    table_.setCell(ColLastRun, row, dateTimeText(end, format_));
    const bool failed = runFailed_ || state_.FilesFailed > 0 || state_.FoldersFailed > 0;
    table_.setCell(ColStatus, row, failed ? "ERROR" : "Done"); // never "Done" after a failure
    SaveProfiles(table_, state_.StartFolder);

    view_.appendLog(" Total Files   -> " + std::to_string(state_.FilesSeen));
    view_.appendLog(" Files Updated -> " + std::to_string(state_.FilesUpdated));
    if (failed)
        view_.appendLog(" Files Failed  -> " + std::to_string(state_.FilesFailed));
    if (state_.HiddenFoldersLeftOut > 0)
        view_.appendLog(" Hidden Folders Left Out -> " +
                        std::to_string(state_.HiddenFoldersLeftOut));
    if (state_.PermissionsNotKept > 0)
        view_.appendLog(" Permissions Not Kept by the Target -> " +
                        std::to_string(state_.PermissionsNotKept));
    if (state_.OwnersNotKept > 0)
        view_.appendLog(" Owners Not Kept by the Target -> " +
                        std::to_string(state_.OwnersNotKept));
    if (state_.ConflictsKept > 0)
        view_.appendLog(" Conflict Copies -> " + std::to_string(state_.ConflictsKept));
    const std::string summary = summaryLine(table_.cell(ColName, row), byteTotal, elapsed);
    view_.setStatus(summary);
    view_.appendLog(summary);
}

} // namespace qm
