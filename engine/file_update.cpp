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
// A batch is written out when it reaches either bound (files: batchFiles_), and at the end
// of every pass.
constexpr std::int64_t BatchBytes = 256LL << 20;
constexpr int YesAnswer = 6;
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
            folder_.remove(nameOf(path_));
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
std::uint32_t keptMode(BlockFile& copy, const FileStatus& source) {
    std::uint32_t mode = source.mode & 07777;
    if (runningAsRoot() && copy.setOwner(source.owner, source.group) == 0)
        return mode; // owner and group are the source's
    FileStatus now{};
    if (!copy.status(now)) {
        takeIoResult();
        return mode & ~std::uint32_t{06000};
    }
    if (now.owner != source.owner)
        mode &= ~std::uint32_t{06000};
    if (now.group != source.group)
        mode &= ~std::uint32_t{02000};
    return mode;
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
    source.openRoot(sourceFolder);
    auto target = std::make_shared<FolderHandle>();
    target->openRoot(targetFolder);
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
        ~Discard() { engine.discardPending(); }
    } discard{*this};
    updateEntry(source, entry, target, targetName, optionCode);
    commitPending();
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
    const auto orderOf = [&source](const std::optional<PathStatus>& status) {
        // A target of another kind (a link or FIFO where the source has a file, a file where
        // it has a link) is never its copy, whatever its time: replaced, never written through.
        if (status && status->kind != EntryKind::Folder && status->kind != source.kind)
            return TargetOrder::Missing;
        return orderTarget(source.mtime, status);
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

    std::string tempPath; // stays empty while the copy has no name
    auto file = createTemp(*targetFolder, tempPath);
    if (!file)
        return {FailedAt::Target, pathFailure(takeIoFailure())};
    BlockFile& out = *file;
    TempGuard guard(*targetFolder, tempPath);

    if (!buffer_)
        buffer_ = std::make_unique<char[]>(BlockSize);
    // a size this medium or the file-size limit refuses fails this file only; the guard
    // removes the temporary
    switch (copyData(in, out, read, buffer_.get(), BlockSize, [this] { pump(); }).failed) {
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
    // Failures ignored: some media (FAT) keep no owners or permissions.
    out.setPermissions(keptMode(out, read));
    // The rename waits until the batch is on disk (commitPending); the copy stays open so
    // the write-out works on it without opening it again.
    pending_.push_back(
        {std::move(file), targetFolder, tempPath, targetFolder->entryPath(targetName), targetName,
         sourceFolder.entryPath(source.name), read.mtime, decided, keepReplaced, read.size});
    guard.commit();
    pendingBytes_ += source.size;
    if (pending_.size() >= batchFiles_ || pendingBytes_ >= BatchBytes)
        commitPending();
    return {};
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

Engine::Recheck Engine::recheckTarget(const std::optional<PathStatus>& now, EntryKind kind,
                                      const timespec& mtime) {
    if (!now)
        return Recheck::Replace;
    if (now->kind != kind) {
        // a folder or another kind took the name: the copy cannot go there
        setPendingIo(IoFailure{codeFromErrno(now->kind == EntryKind::Folder ? EISDIR : EEXIST),
                               FailureReach::ThisPath});
        return Recheck::Clash;
    }
    return orderTarget(mtime, now) == TargetOrder::Older ? Recheck::Replace : Recheck::LeftAlone;
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

void Engine::commitPending() {
    if (pending_.empty())
        return;
    probe(ProbePoint::BeforeWriteOut, pending_.front().target);
    std::vector<int> files;
    files.reserve(pending_.size());
    for (const PendingCopy& copy : pending_)
        files.push_back(copy.file->fd());
    // Nothing replaces a target before every byte of its copy is on disk. A failed
    // write-out is final: the kernel reports it once, so a second one would "succeed"
    // over copies it never wrote.
    if (!flushFileSystemsOf(files)) {
        const int code = takeIoResult();
        dropPending(code);
        setPendingIo(code);
        raisePending();
    }
    for (std::size_t done = 0; done < pending_.size(); ++done) {
        PendingCopy& copy = pending_[done];
        // Nothing to replace: the copy takes its own name at once (never over anything that
        // appeared there meanwhile); otherwise a fresh name for the rename.
        const bool direct = copy.temp.empty() && !copy.decided && !copy.keepReplaced;
        if (direct) {
            journalTime(copy);
            probe(ProbePoint::BeforeName, copy.target);
            if (linkInPlace(copy)) {
                keepTime(copy);
                continue;
            }
            forgetTime(copy);
        }
        if (copy.temp.empty() && !nameUnnamed(copy)) {
            const IoFailure failure = takeIoFailure();
            if (!failure.concernsOnlyThisPath()) {
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(done));
                setPendingIo(failure);
                raisePending();
            }
            copy.file.reset(); // without a name it is gone
            reportError(failure.code, copy.target);
            --state_.FilesUpdated;
            ++state_.FilesFailed;
            continue;
        }
        if (!copy.file->close()) {
            // written out, yet the file system still refuses it
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(done));
            const int code = takeIoResult();
            dropPending(code);
            setPendingIo(code);
            raisePending();
        }
        // Where the open file's time may be lost at its write-out, it is set again by name
        // before the copy takes its target's: a kill after the rename leaves the right time
        // wherever the medium keeps it through a rename.
        if (!copy.folder->keepsTimesOfOpenFiles() &&
            !copy.folder->setTime(nameOf(copy.temp), copy.mtime))
            takeIoResult(); // checked again after the rename (keepTime)
        journalTime(copy);
        if (!direct)
            probe(ProbePoint::BeforeName, copy.target);
        const Placement placement = placeCopy(copy);
        if (placement == Placement::Placed) {
            keepTime(copy);
            continue;
        }
        forgetTime(copy);
        if (placement == Placement::LeftAlone) {
            copy.folder->remove(nameOf(copy.temp));
            takeIoResult();
            reportLeftAlone(copy.target);
            continue;
        }
        const IoFailure failure = takeIoFailure();
        if (!failure.concernsOnlyThisPath()) {
            // this copy and the rest stay pending for discardPending
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(done));
            setPendingIo(failure);
            raisePending();
        }
        // Logged as written a moment ago: say now that it was not (a name the medium refuses
        // shows here, since the temporary's own name is one every medium takes).
        copy.folder->remove(nameOf(copy.temp));
        takeIoResult();
        reportError(failure.code, copy.target);
        --state_.FilesUpdated;
        ++state_.FilesFailed;
    }
    pending_.clear();
    pendingBytes_ = 0;
    if (journal_)
        journal_->settle(); // names whose temporary is gone go; a failed removal's stays
}

std::unique_ptr<BlockFile> Engine::createTemp(const FolderHandle& folder, std::string& tempPath) {
    // Without a name: a killed run leaves nothing, and no other file can share it.
    auto unnamed = std::make_unique<BlockFile>(folder.path());
    if (folder.createUnnamed(*unnamed))
        return unnamed;
    takeIoResult(); // the named way below says what the folder refuses
    for (int attempt = 0; attempt < NameTries; ++attempt) {
        const std::string name = newTempName();
        tempPath = folder.entryPath(name);
        if (!journalTemp(folder, name)) { // before the name exists
            tempPath.clear();
            return nullptr;
        }
        auto named = std::make_unique<BlockFile>(tempPath);
        if (folder.createNew(*named, name))
            return named;
        const IoFailure failure = takeIoFailure();
        if (failure.code != 183) {
            journal().withdrawIfAbsent(folder, name);
            tempPath.clear();
            setPendingIo(failure);
            return nullptr;
        }
        journal().withdrawTaken(folder, name);
    }
    tempPath.clear();
    setPendingIo(IoFailure{183, FailureReach::ThisPath});
    return nullptr;
}

Engine::Placement Engine::placeCopy(PendingCopy& copy) {
    // Something may appear between the look and a rename that cannot refuse it: look again.
    for (int attempt = 0; attempt < NameTries; ++attempt) {
        const auto now = copy.folder->status(copy.targetName);
        if (!sameEntry(now, copy.decided)) {
            // saved there since the decision: decided again from what is there now
            if (const Recheck again = recheckTarget(now, EntryKind::File, copy.mtime);
                again != Recheck::Replace)
                return again == Recheck::LeftAlone ? Placement::LeftAlone : Placement::Failed;
            copy.decided = now;
            copy.keepReplaced =
                copy.keepReplaced || (now && synchronising_ && changedSinceLastSync(now->mtime));
        }
        if (copy.decided && copy.keepReplaced) {
            if (!keepReplacedVersion(copy))
                return Placement::Failed;
            copy.decided.reset();
        }
        const std::string temp = nameOf(copy.temp);
        if (copy.decided ? copy.folder->rename(temp, *copy.folder, copy.targetName)
                         : copy.folder->renameNoReplace(temp, copy.targetName))
            return Placement::Placed;
        const IoFailure failure = takeIoFailure();
        if (copy.decided || failure.code != 183) {
            setPendingIo(failure);
            return Placement::Failed;
        }
    }
    setPendingIo(IoFailure{183, FailureReach::ThisPath});
    return Placement::Failed;
}

bool Engine::keepReplacedVersion(PendingCopy& copy) {
    for (int attempt = 1; attempt <= NameTries; ++attempt) {
        const std::string name = conflictName(copy.targetName, copy.decided->mtime, attempt);
        if (copy.folder->renameNoReplace(copy.targetName, name)) {
            const std::string text = "   Conflict (changed in both trees since the last run) -> " +
                                     copy.source + " replaces " + copy.target + ", kept as " +
                                     copy.folder->entryPath(name);
            showAndLog(text);
            ++state_.ConflictsKept;
            keptVersions_.push_back(
                {copy.folder->path(), name, copy.source.substr(0, copy.source.find_last_of('/'))});
            return true;
        }
        if (takeIoFailure().code != 183)
            break; // say it below, under the target's own path
    }
    setPendingIo(IoFailure{183, FailureReach::ThisPath});
    return false;
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

bool Engine::linkInPlace(PendingCopy& copy) {
    if (copy.folder->linkAs(*copy.file, copy.targetName)) {
        copy.temp = copy.target; // ours alone, should the rest of the commit fail
        return true;
    }
    // Whatever refused it (a name the medium refuses, something there now) shows again
    // through the temporary's name and the rename.
    takeIoResult();
    return false;
}

bool Engine::nameUnnamed(PendingCopy& copy) {
    for (int attempt = 0; attempt < NameTries; ++attempt) {
        const std::string name = newTempName();
        const std::string path = copy.folder->entryPath(name);
        if (!journalTemp(*copy.folder, name))
            return false;
        if (copy.folder->linkAs(*copy.file, name)) {
            copy.temp = path;
            return true;
        }
        const IoFailure failure = takeIoFailure();
        if (failure.code != 183) {
            setPendingIo(failure);
            return false;
        }
        journal().withdrawTaken(*copy.folder, name);
    }
    setPendingIo(IoFailure{183, FailureReach::ThisPath});
    return false;
}

void Engine::journalTime(const PendingCopy& copy) {
    // Refused, the time is still set a moment later; only a kill just then would leave it
    // wrong, and the journal's own failures end the run at the next temporary.
    if (!copy.folder->keepsTimesOfOpenFiles())
        (void)journal().recordTime(*copy.folder, copy.targetName, copy.mtime,
                                   static_cast<std::uint64_t>(copy.size));
}

void Engine::forgetTime(const PendingCopy& copy) noexcept {
    // what has the target's name is not the copy: no later run may change its time
    if (journal_ && !copy.folder->keepsTimesOfOpenFiles())
        journal_->withdrawTime(*copy.folder, copy.targetName);
}

void Engine::keepTime(const PendingCopy& copy) {
    // FUSE drivers of FAT and exFAT drop a time set on the open file at its write-out or
    // rename; the next run would take the copy for newer than its source.
    if (copy.folder->keepsTimesOfOpenFiles())
        return;
    probe(ProbePoint::BeforeTimeKept, copy.target);
    const auto now = copy.folder->status(copy.targetName);
    if (now && orderTarget(copy.mtime, now) == TargetOrder::Equal)
        return;
    if (copy.folder->setTime(copy.targetName, copy.mtime))
        return;
    // the bytes are in place, but the copy's time is wrong
    reportError(takeIoFailure().code, copy.target);
    ++state_.FilesFailed;
}

void Engine::discardPending() noexcept {
    // A later file's failure must not undo the copies before it, which the log already
    // reports as written.
    int code = OtherErrorCode;
    try {
        commitPending();
        return;
    } catch (const IoError& error) {
        code = error.code();
    } catch (const std::exception&) {
    }
    takeIoResult();
    dropPending(code);
}

void Engine::dropPending(int code) noexcept {
    for (PendingCopy& copy : pending_) {
        copy.file.reset();
        if (!copy.temp.empty()) {
            copy.folder->remove(nameOf(copy.temp));
            takeIoResult();
        }
        --state_.FilesUpdated;
        ++state_.FilesFailed;
        try {
            reportError(code, copy.target); // takes back its "written" line
        } catch (const std::exception&) {
            // the run is ending with its own error message anyway
        }
    }
    pending_.clear();
    pendingBytes_ = 0;
    if (journal_)
        journal_->settle();
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
        if (!journalTemp(targetFolder, tempName)) // before the name exists
            return {FailedAt::Target, pathFailure(takeIoFailure())};
        if (targetFolder.createLink(text, tempName))
            break;
        const IoFailure failure = takeIoFailure();
        if (failure.code == 183)
            journal().withdrawTaken(targetFolder, tempName);
        else
            journal().withdrawIfAbsent(targetFolder, tempName);
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
