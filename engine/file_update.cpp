#include "block_file.h"
#include "clock.h"
#include "conflict_name.h"
#include "data_copy.h"
#include "engine.h"
#include "file_ops.h"
#include "file_time.h"
#include "folder_handle.h"
#include "folders.h"
#include "format_settings.h"
#include "io_error.h"
#include "listing.h"
#include "pending_io.h"
#include "run_figures.h"
#include "run_view.h"
#include "statuses_ahead.h"
#include "temp_journal.h"
#include "temp_name.h"
#include "update_decision.h"

#include <cerrno>
#include <ctime>
#include <utility>

namespace qm {

namespace {

constexpr std::size_t BlockSize = 524288;
constexpr int YesAnswer = 6;
/// From this size on a copy first asks whether the medium has room for it.
constexpr std::int64_t LargeFile = 1 << 20;
constexpr int OtherErrorCode = 31;
/// The source was altered from outside while it was copied.
constexpr int ChangedWhileReadCode = 1006;

/// Raises the pending code (a generic one should nothing be pending).
[[noreturn]] void raisePending() {
    ioCheck();
    throw IoError(OtherErrorCode);
}

/// The last name of a path.
std::string nameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// Removes a named temporary unless the copy was committed (one without a name vanishes
/// with its descriptor).
class TempGuard {
public:
    TempGuard(const FolderHandle& folder, const std::string& path) : folder_(folder), path_(path) {}
    ~TempGuard() {
        if (armed_ && !path_.empty()) {
            (void)folder_.remove(nameOf(path_));
            takeIoResult(); // the error that brought us here is the one to report
        }
    }
    TempGuard(const TempGuard&) = delete;
    TempGuard& operator=(const TempGuard&) = delete;
    void commit() { armed_ = false; }

private:
    const FolderHandle& folder_;
    const std::string& path_;
    bool armed_ = true;
};

/// Tries fresh names until one does not exist yet.
constexpr int NameTries = 16;

/// The permissions a copy may carry. As root the copy gets the source's owner and group
/// first (as cp -a does); a set-user-ID or set-group-ID bit whose owner or group the copy
/// did not keep is dropped, or anyone who runs the copy would run it as somebody else.
/// `ownerKept`: false only as root, when the copy could not be given the source's owner.
struct KeptMode {
    std::uint32_t mode;
    bool ownerKept;
};

KeptMode keptMode(BlockFile& copy, const FileStatus& source) {
    std::uint32_t mode = source.mode & 07777;
    const bool root = runningAsRoot();
    if (root && copy.setOwner(source.owner, source.group) == 0)
        return {mode, true}; // owner and group are the source's
    if ((mode & 06000) == 0)
        return {mode, !root}; // no set-ID bit to weigh: no need to look at the copy
    FileStatus now{};
    if (!copy.status(now)) {
        takeIoResult();
        return {mode & ~std::uint32_t{06000}, !root};
    }
    if (now.owner != source.owner)
        mode &= ~std::uint32_t{06000};
    if (now.group != source.group)
        mode &= ~std::uint32_t{02000};
    return {mode, !root};
}

/// A failure at the file's own path lets the pass go on: returns its code. A fault of the
/// medium ends the run. throw IoError
int pathFailure(const IoFailure& failure) {
    if (!failure.concernsOnlyThisPath()) {
        setPendingIo(failure);
        raisePending();
    }
    return failure.code;
}

} // namespace

void Engine::UpdateFile(const std::string& sourceFolder, const std::string& fileName,
                        const std::string& targetFolder, const std::string& targetName,
                        const std::string& optionCode) {
    // Both folders as the caller names them; a folder that cannot be opened fails its file.
    FolderHandle source;
    (void)source.openRoot(sourceFolder);
    auto target = std::make_shared<FolderHandle>();
    (void)target->openRoot(targetFolder);
    takeIoResult();
    ListEntry entry;
    entry.name = fileName;
    // A source that vanished goes on as a file; its open then fails and is reported.
    if (auto status = source.status(fileName)) {
        entry.kind = status->kind;
        entry.mtime = status->mtime;
        entry.mode = status->mode;
        entry.size = status->size;
    }
    struct Discard {
        Engine& engine;
        ~Discard() { engine.batch_.discard(); }
    } discard{*this};
    updateEntry(source, entry, target, targetName, optionCode);
    batch_.commit();
}

void Engine::updateEntry(const FolderHandle& sourceFolder, const ListEntry& source,
                         const std::shared_ptr<FolderHandle>& targetFolder,
                         const std::string& targetName, const std::string& optionCode,
                         StatusesAhead* known) {
    const std::string sourcePath = sourceFolder.entryPath(source.name);
    if (source.kind == EntryKind::Special) {
        // FIFOs, sockets and devices are never opened: reading one could block for ever
        const std::string text = "   Skipped (not a regular file) -> " + sourcePath;
        showAndLog(text);
        return;
    }

    std::optional<PathStatus> target = known ? known->find(targetName) : std::nullopt;
    const bool readAhead = target.has_value();
    if (!readAhead)
        target = targetFolder->status(targetName);
    if (synchronising_ && source.kind == EntryKind::Symlink && target &&
        target->kind == EntryKind::Folder) {
        logSkippedLink(sourcePath);
        return;
    }
    if (synchronising_ && target && target->kind != source.kind &&
        (source.kind == EntryKind::Symlink || target->kind == EntryKind::Symlink) &&
        (source.kind == EntryKind::File || target->kind == EntryKind::File)) {
        logSkippedKinds(sourcePath, source.kind == EntryKind::Symlink);
        return;
    }
    const bool exactTimes = sourceFolder.keepsExactTimes() && targetFolder->keepsExactTimes();
    const auto orderOf = [&source, exactTimes](const std::optional<PathStatus>& status) {
        // A target of another kind (a link or FIFO where the source has a file, a file where
        // it has a link) is never its copy, whatever its time: replaced, never written through.
        if (status && status->kind != EntryKind::Folder && status->kind != source.kind)
            return TargetOrder::Missing;
        return orderTarget(source.mtime, status, exactTimes);
    };
    TargetOrder order = orderOf(target);

    view_.setStatus(sourcePath + "   busy");
    ++state_.FilesSeen;

    UpdateAction action = decideUpdate(optionCode, order);
    if (known && action != UpdateAction::Skip) {
        known->forget(); // a question may take minutes, a copy changes the folder
        if (readAhead) {
            // What was read ahead only ever skips a file: a target to be written or asked
            // about is looked at now, as it stands.
            target = targetFolder->status(targetName);
            order = orderOf(target);
            action = decideUpdate(optionCode, order);
        }
    }
    if (action == UpdateAction::Ask) {
        const std::string question =
            overwriteQuestion(order == TargetOrder::Older, source.name, fileTimeText(source.mtime),
                              targetName, fileTimeText(target->mtime));
        action = view_.askYesNo(question) == YesAnswer ? UpdateAction::Write : UpdateAction::Skip;
    }
    if (action == UpdateAction::Skip) {
        view_.setStatus(sourcePath + "   Already exists");
        return;
    }

    ++state_.FilesUpdated;
    const std::string targetPath = targetFolder->entryPath(targetName);
    probe(ProbePoint::BeforeOpen, sourcePath);
    const double start = clock_.steadyNow();
    CopyResult result;
    if (target && target->kind == EntryKind::Folder)
        // the rename would fail so; no need to copy the bytes first
        result = {FailedAt::Target, codeFromErrno(EISDIR)};
    else
        try {
            if (source.kind == EntryKind::Symlink) {
                result = copyLink(sourceFolder, source, *targetFolder, targetName, target);
            } else {
                const bool keepReplaced =
                    target && isConflict(sourceFolder, source, *targetFolder, targetName, *target);
                result =
                    copyFile(sourceFolder, source, targetFolder, targetName, target, keepReplaced);
                // Written while we read it: the copy may hold old and new bytes under the
                // old time. Once more; a file still changing fails, its old copy kept.
                if (result.failedAt == FailedAt::Changed)
                    result = copyFile(sourceFolder, source, targetFolder, targetName, target,
                                      keepReplaced);
                if (result.failedAt == FailedAt::Changed)
                    result = {FailedAt::Source, ChangedWhileReadCode};
            }
        } catch (const IoError& error) {
            // the error box names the copy that failed
            throw IoError(error.code(), error.what(), sourcePath + " -> " + targetPath);
        }
    if (result.failedAt == FailedAt::LeftAlone)
        return;
    if (result.failedAt == FailedAt::NotRegular) {
        // swapped for a FIFO, device or socket since it was listed
        --state_.FilesUpdated;
        const std::string text = "   Skipped (not a regular file) -> " + sourcePath;
        showAndLog(text);
        return;
    }
    const bool copied = result.failedAt == FailedAt::Nothing;
    if (!copied) {
        reportError(result.code, result.failedAt == FailedAt::Source ? sourcePath : targetPath);
        --state_.FilesUpdated;
        ++state_.FilesFailed;
    }
    const double end = clock_.steadyNow();

    const std::int32_t speed = fileSpeed(state_.CurrentFileSize, end - start);
    if (state_.PreviousSpeed == 0)
        state_.PreviousSpeed = speed;
    const std::string text = "   " + sourcePath + " " +
                             std::to_string(shownSpeed(speed, state_.PreviousSpeed)) +
                             " KBytes/Sec";
    view_.setStatus(text);
    if (copied)
        view_.appendLog(text);
    state_.PreviousSpeed = speed;
}

Engine::CopyResult Engine::copyFile(const FolderHandle& sourceFolder, const ListEntry& source,
                                    const std::shared_ptr<FolderHandle>& targetFolder,
                                    const std::string& targetName,
                                    const std::optional<PathStatus>& decided, bool keepReplaced) {
    BlockFile in(sourceFolder.entryPath(source.name));
    if (!sourceFolder.openRead(in, source.name)) {
        if (in.notRegular())
            return {FailedAt::NotRegular, 0};
        return {FailedAt::Source, takeIoResult()};
    }
    const FileStatus read = in.statusAtOpen();
    // A file larger than the medium's free space fails alone; the files after it may fit.
    // (Asked only of large files: a share answers each question over the network.)
    if (read.size >= LargeFile && !roomForCopy(*targetFolder, read))
        return {FailedAt::Target, codeFromErrno(ENOSPC)};

    std::string tempPath; // stays empty while the copy has no name
    auto file = batch_.createTemp(*targetFolder, tempPath);
    if (!file)
        return {FailedAt::Target, pathFailure(takeIoFailure())};
    BlockFile& out = *file;
    TempGuard guard(*targetFolder, tempPath);

    if (!buffer_)
        buffer_ = std::make_unique<char[]>(BlockSize);
    // a size this medium or the file-size limit refuses fails this file only; the guard
    // removes the temporary
    // Two file systems that would not share extents are not asked again for every file.
    const std::optional<dev_t> targetDevice = targetFolder->device();
    const bool tryClone =
        !(noClone_ && targetDevice && *noClone_ == std::pair{read.device, *targetDevice});
    const DataCopyResult copied = copyData(
        in, out, read, buffer_.get(), BlockSize, [this] { pump(); }, tryClone);
    if (copied.cloneRefused && targetDevice)
        noClone_ = std::pair{read.device, *targetDevice};
    switch (copied.failed) {
    case CopyEnd::None:
        break;
    case CopyEnd::Source:
        return {FailedAt::Source, pathFailure(takeIoFailure())};
    case CopyEnd::Target:
        return {FailedAt::Target, pathFailure(takeIoFailure())};
    }
    FileStatus after{};
    if (!in.status(after))
        return {FailedAt::Source, takeIoResult()};
    if (!after.sameContentAs(read))
        return {FailedAt::Changed, 0}; // the guard removes the temporary
    if (!in.close())
        raisePending();

    // The time decides the next run, so it must hold before the copy counts as done; it is
    // that of the bytes read, which may be newer than the listing's.
    if (int code = out.setModificationTime(read.mtime); code != 0) {
        setPendingIo(code);
        raisePending();
    }
    // Some media (FAT, exFAT, shares) keep no owners or permissions: the copy stands, and
    // the pass counts it. A medium may also take a mode without a word and keep another.
    // Only root may give a copy the source's owner; as root, a medium that cannot is counted.
    const KeptMode kept = keptMode(out, read);
    bool modeLost = out.setPermissions(kept.mode) != 0;
    bool ownerLost = !kept.ownerKept;
    if (!modeLost && !targetFolder->keepsExactTimes()) {
        // a medium other than the local ones may take a mode or owner and keep another
        FileStatus now{};
        const bool looked = out.status(now);
        (void)takeIoResult(); // a failed look says only that the mode is unknown
        modeLost = !looked || now.mode != kept.mode;
        ownerLost = ownerLost || (runningAsRoot() &&
                                  (!looked || now.owner != read.owner || now.group != read.group));
    }
    // The rename waits until the batch is on disk; the copy stays open so the write-out
    // works on it without opening it again.
    PendingCopy copy{std::move(file),
                     targetFolder,
                     tempPath,
                     targetFolder->entryPath(targetName),
                     targetName,
                     sourceFolder.entryPath(source.name),
                     read.mtime,
                     decided,
                     keepReplaced,
                     read.size,
                     modeLost,
                     ownerLost,
                     sourceFolder.keepsExactTimes() && targetFolder->keepsExactTimes()};
    guard.commit(); // the batch has it now
    batch_.add(std::move(copy));
    return {};
}

void Engine::copyPlaced(const PendingCopy& copy) {
    state_.PermissionsNotKept += copy.modeLost ? 1 : 0;
    state_.OwnersNotKept += copy.ownerLost ? 1 : 0;
}

void Engine::logSkippedLink(const std::string& path) {
    const std::string text = "   Skipped (a link where the other tree has a folder) -> " + path;
    showAndLog(text);
}

void Engine::logSkippedKinds(const std::string& path, bool sourceIsLink) {
    const std::string text = sourceIsLink
                                 ? "   Skipped (a link where the other tree has a file) -> " + path
                                 : "   Skipped (a file where the other tree has a link) -> " + path;
    showAndLog(text);
}

void Engine::reportLeftAlone(const std::string& targetPath) {
    const std::string text = "   Left alone (changed since it was compared) -> " + targetPath;
    showAndLog(text);
    --state_.FilesUpdated;
}

bool Engine::takesCaseAsOne(const FolderHandle& folder) {
    const std::string name = newTempName();
    if (!batch_.recordTemp(folder, name)) {
        takeIoResult();
        return true;
    }
    BlockFile probe(folder.entryPath(name));
    if (!folder.createNew(probe, name)) {
        takeIoResult();
        batch_.withdrawIfAbsent(folder, name);
        return true;
    }
    std::string other = name;
    for (char& c : other)
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    // A fresh random name: in the other case it exists only as the same file.
    const bool one = folder.status(other).has_value();
    (void)probe.close();
    (void)folder.remove(name);
    takeIoResult();
    batch_.withdrawIfAbsent(folder, name);
    return one;
}

void Engine::reportNamesake(const std::string& sourcePath, const std::string& first) {
    showAndLog("   Error (the target takes it for \"" + first +
               "\": the names differ only in case) -> " + sourcePath);
}

void Engine::showAndLog(const std::string& text) {
    view_.setStatus(text);
    view_.appendLog(text);
}

void Engine::reportError(int code, const std::string& path) {
    const std::string text = "   Error " + std::to_string(code) + " -> " + path;
    showAndLog(text);
    view_.appendLog("      " + ioErrorReason(code));
}

void Engine::versionKept(const PendingCopy& copy, const std::string& keptName) {
    const std::string text = "   Conflict (changed in both trees since the last run) -> " +
                             copy.source + " replaces " + copy.target + ", kept as " +
                             copy.folder->entryPath(keptName);
    showAndLog(text);
    ++state_.ConflictsKept;
    keptVersions_.push_back(
        {copy.folder->path(), keptName, copy.source.substr(0, copy.source.find_last_of('/'))});
}

bool Engine::keepsChanged(const PathStatus& now) const {
    return synchronising_ && changedSinceLastSync(now.mtime);
}

void Engine::copyFailed(int code, const std::string& target, bool named) {
    reportError(code, target);
    if (!named)
        --state_.FilesUpdated;
    ++state_.FilesFailed;
}

void Engine::carryKeptVersions(const std::string& optionCode) {
    const std::vector<KeptVersion> kept = std::exchange(keptVersions_, {});
    for (const KeptVersion& version : kept) {
        state_.CurrentFileSize = 0;
        UpdateFile(version.folder, version.name, version.twinFolder, version.name, optionCode);
    }
}

bool Engine::changedSinceLastSync(const timespec& mtime) const {
    if (!lastSyncStart_)
        return true; // a first run cannot tell which side changed
    return mtime.tv_sec != lastSyncStart_->tv_sec ? mtime.tv_sec > lastSyncStart_->tv_sec
                                                  : mtime.tv_nsec > lastSyncStart_->tv_nsec;
}

bool Engine::isConflict(const FolderHandle& sourceFolder, const ListEntry& source,
                        const FolderHandle& targetFolder, const std::string& targetName,
                        const PathStatus& target) {
    if (!synchronising_ || source.kind != EntryKind::File || target.kind != EntryKind::File ||
        !changedSinceLastSync(source.mtime) || !changedSinceLastSync(target.mtime))
        return false;
    if (source.size != target.size)
        return true;
    // The same bytes under two times lose nothing when one replaces the other.
    if (!buffer_)
        buffer_ = std::make_unique<char[]>(BlockSize);
    const SameBytes same = compareFiles(sourceFolder, source.name, targetFolder, targetName,
                                        buffer_.get(), BlockSize, [this] { pump(); });
    takeIoResult(); // one that cannot be read is kept, to be sure
    return same != SameBytes::Yes;
}

Engine::CopyResult Engine::copyLink(const FolderHandle& sourceFolder, const ListEntry& source,
                                    const FolderHandle& targetFolder, const std::string& targetName,
                                    const std::optional<PathStatus>& decided) {
    std::string text;
    if (!sourceFolder.readLink(source.name, text))
        return {FailedAt::Source, takeIoResult()};

    std::string tempName;
    std::string tempPath;
    for (int attempt = 0;; ++attempt) {
        tempName = newTempName();
        tempPath = targetFolder.entryPath(tempName);
        if (!batch_.recordTemp(targetFolder, tempName)) // before the name exists
            return {FailedAt::Target, pathFailure(takeIoFailure())};
        if (targetFolder.createLink(text, tempName))
            break;
        const IoFailure failure = takeIoFailure();
        if (failure.code == 183)
            batch_.withdrawTaken(targetFolder, tempName);
        else
            batch_.withdrawIfAbsent(targetFolder, tempName);
        if (failure.code != 183 || attempt + 1 == NameTries)
            return {FailedAt::Target, pathFailure(failure)};
    }
    TempGuard guard(targetFolder, tempPath);

    if (!targetFolder.setTime(tempName, source.mtime, true))
        raisePending();
    // only what the decision looked at is replaced (the guard removes the temporary)
    std::optional<PathStatus> replaced = decided;
    if (const auto now = targetFolder.status(targetName); !sameEntry(now, replaced)) {
        switch (recheckTarget(now, EntryKind::Symlink, source.mtime)) {
        case Recheck::Replace:
            break;
        case Recheck::LeftAlone:
            reportLeftAlone(targetFolder.entryPath(targetName));
            return {FailedAt::LeftAlone, 0};
        case Recheck::Clash:
            return {FailedAt::Target, pathFailure(takeIoFailure())};
        }
        replaced = now;
    }
    if (!(replaced ? targetFolder.rename(tempName, targetFolder, targetName)
                   : targetFolder.renameNoReplace(tempName, targetName)))
        return {FailedAt::Target, pathFailure(takeIoFailure())};
    guard.commit();
    return {};
}

std::string Engine::fileTimeText(const timespec& time) const {
    const std::int32_t stamp = dosDateTimeFromTime(time);
    if (stamp != -1)
        return dateTimeText(stampToDateTime(stamp), format_);
    // outside the DOS range: the exact local time
    const auto local = localPartsOf(time);
    if (!local)
        return {};
    try {
        return dateTimeText(encodeDateTime(local->year, local->month, local->day, local->hour,
                                           local->minute, local->second),
                            format_);
    } catch (const ConvertError&) {
        return {}; // a year the calendar cannot hold; the question still asks
    }
}

} // namespace qm
