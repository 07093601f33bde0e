#include "commit_batch.h"

#include "block_file.h"
#include "conflict_name.h"
#include "file_time.h"
#include "folder_handle.h"
#include "io_error.h"
#include "pending_io.h"
#include "temp_journal.h"
#include "temp_name.h"
#include "update_decision.h"

#include <utility>

namespace qm {

namespace {

// A batch is written out when it reaches either bound (files: maxFiles_), and at the end of
// every pass.
constexpr std::int64_t BatchBytes = 256LL << 20;
constexpr int OtherErrorCode = 31;
/// Tries fresh names until one does not exist yet.
constexpr int NameTries = 16;

/// Raises the pending code (a generic one should nothing be pending).
[[noreturn]] void raisePending() {
    ioCheck();
    throw IoError(OtherErrorCode);
}

std::string nameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

Recheck recheckTarget(const std::optional<PathStatus>& now, EntryKind kind, const timespec& mtime,
                      bool exactTimes) {
    if (!now)
        return Recheck::Replace;
    if (now->kind != kind) {
        // a folder or another kind took the name: the copy cannot go there
        setPendingIo(IoFailure{codeFromErrno(now->kind == EntryKind::Folder ? EISDIR : EEXIST),
                               FailureReach::ThisPath});
        return Recheck::Clash;
    }
    return orderTarget(mtime, now, exactTimes) == TargetOrder::Older ? Recheck::Replace
                                                                     : Recheck::LeftAlone;
}

CommitBatch::CommitBatch(Owner& owner, std::size_t maxFiles) : owner_(owner), maxFiles_(maxFiles) {}

CommitBatch::~CommitBatch() = default;

TempJournal& CommitBatch::journal() {
    if (!journal_)
        // a pass started on its own, outside a profile's run, files under its own roots
        journal_ = std::make_unique<TempJournal>(tempJournalFolder(),
                                                 roots_.empty() ? owner_.passRoots() : roots_);
    return *journal_;
}

void CommitBatch::closeJournal() {
    journal_.reset();
    roots_.clear();
}

void CommitBatch::settled() noexcept {
    if (journal_)
        journal_->settle(); // names whose temporary is gone go; a failed removal's stays
}

bool CommitBatch::recordTemp(const FolderHandle& folder, const std::string& name) {
    if (journal().record(folder, name))
        return true;
    // The run ends rather than each later file failing for the same reason: a journal that
    // refused one name refuses the next, and a copy made without it could be left for good.
    const IoFailure failure = takeIoFailure();
    if (!failure.concernsOnlyThisPath()) {
        try {
            owner_.journalRefused(journal().failure());
        } catch (const std::exception&) {
            // the error box still says what failed
        }
    }
    setPendingIo(failure);
    return false;
}

void CommitBatch::withdrawTaken(const FolderHandle& folder, const std::string& name) noexcept {
    journal().withdrawTaken(folder, name);
}

void CommitBatch::withdrawIfAbsent(const FolderHandle& folder, const std::string& name) noexcept {
    journal().withdrawIfAbsent(folder, name);
}

std::unique_ptr<BlockFile> CommitBatch::createTemp(const FolderHandle& folder,
                                                   std::string& tempPath) {
    // Without a name: a killed run leaves nothing, and no other file can share it.
    auto unnamed = std::make_unique<BlockFile>(folder.path());
    if (folder.createUnnamed(*unnamed))
        return unnamed;
    takeIoResult(); // the named way below says what the folder refuses
    for (int attempt = 0; attempt < NameTries; ++attempt) {
        const std::string name = newTempName();
        tempPath = folder.entryPath(name);
        if (!recordTemp(folder, name)) { // before the name exists
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

void CommitBatch::add(PendingCopy copy) {
    pendingBytes_ += copy.size;
    const std::string target = copy.target;
    pending_.push_back(std::move(copy));
    owner_.probe(ProbePoint::Queued, target);
    if (pending_.size() >= maxFiles_ || pendingBytes_ >= BatchBytes)
        commit();
}

void CommitBatch::removeTemp(PendingCopy& copy) noexcept {
    copy.file.reset();
    if (!copy.temp.empty()) {
        (void)copy.folder->remove(nameOf(copy.temp));
        takeIoResult();
    }
}

void CommitBatch::endCommit(std::size_t placed, const IoFailure& failure, bool dropRest) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(placed));
    if (dropRest)
        drop(failure.code);
    setPendingIo(failure);
    raisePending();
}

void CommitBatch::commit() {
    if (pending_.empty())
        return;
    owner_.probe(ProbePoint::BeforeWriteOut, pending_.front().target);
    std::vector<int> files;
    files.reserve(pending_.size());
    for (const PendingCopy& copy : pending_)
        files.push_back(copy.file->fd());
    // Nothing replaces a target before every byte of its copy is on disk. A failed
    // write-out is final: the kernel reports it once, so a second one would "succeed"
    // over copies it never wrote.
    if (!flushFileSystemsOf(files))
        endCommit(0, takeIoFailure(), true);
    for (std::size_t done = 0; done < pending_.size(); ++done) {
        PendingCopy& copy = pending_[done];
        // Nothing to replace: the copy takes its own name at once (never over anything that
        // appeared there meanwhile); otherwise a fresh name for the rename.
        const bool direct = copy.temp.empty() && !copy.decided && !copy.keepReplaced;
        if (direct) {
            journalTime(copy);
            owner_.probe(ProbePoint::BeforeName, copy.target);
            if (linkInPlace(copy)) {
                keepTime(copy);
                continue;
            }
            forgetTime(copy);
        }
        Placement placement = Placement::Failed;
        if (!copy.temp.empty() || nameUnnamed(copy)) {
            if (!copy.file->close())
                // written out, yet the file system still refuses it
                endCommit(done, takeIoFailure(), true);
            // Where the open file's time may be lost at its write-out, it is set again by
            // name before the copy takes its target's: a kill after the rename leaves the
            // right time wherever the medium keeps it through a rename.
            if (!copy.folder->keepsTimesOfOpenFiles() &&
                !copy.folder->setTime(nameOf(copy.temp), copy.mtime))
                takeIoResult(); // checked again after the rename (keepTime)
            journalTime(copy);
            if (!direct)
                owner_.probe(ProbePoint::BeforeName, copy.target);
            placement = placeCopy(copy);
            if (placement == Placement::Placed) {
                owner_.copyPlaced(copy);
                keepTime(copy);
                continue;
            }
            forgetTime(copy);
        }
        if (placement == Placement::LeftAlone) {
            removeTemp(copy);
            owner_.copyLeftAlone(copy.target);
            continue;
        }
        const IoFailure failure = takeIoFailure();
        if (!failure.concernsOnlyThisPath())
            endCommit(done, failure, false); // this copy and the rest stay for discard()
        // Logged as written a moment ago: say now that it was not (a name the medium refuses
        // shows here, since the temporary's own name is one every medium takes).
        removeTemp(copy);
        owner_.copyFailed(failure.code, copy.target, false);
    }
    pending_.clear();
    pendingBytes_ = 0;
    settled();
}

void CommitBatch::discard() noexcept {
    // A later file's failure must not undo the copies before it, which the log already
    // reports as written.
    int code = OtherErrorCode;
    try {
        commit();
        return;
    } catch (const IoError& error) {
        code = error.code();
    } catch (const std::exception&) {
    }
    takeIoResult();
    drop(code);
}

void CommitBatch::drop(int code) noexcept {
    for (PendingCopy& copy : pending_) {
        removeTemp(copy);
        try {
            owner_.copyFailed(code, copy.target, false); // takes back its "written" line
        } catch (const std::exception&) {
            // the run is ending with its own error message anyway
        }
    }
    pending_.clear();
    pendingBytes_ = 0;
    settled();
}

CommitBatch::Placement CommitBatch::placeCopy(PendingCopy& copy) {
    // Something may appear between the look and a rename that cannot refuse it: look again.
    for (int attempt = 0; attempt < NameTries; ++attempt) {
        const auto now = copy.folder->status(copy.targetName);
        if (!sameEntry(now, copy.decided)) {
            // saved there since the decision: decided again from what is there now
            if (const Recheck again =
                    recheckTarget(now, EntryKind::File, copy.mtime, copy.exactTimes);
                again != Recheck::Replace)
                return again == Recheck::LeftAlone ? Placement::LeftAlone : Placement::Failed;
            copy.decided = now;
            copy.keepReplaced = copy.keepReplaced || (now && owner_.keepsChanged(*now));
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

bool CommitBatch::keepReplacedVersion(PendingCopy& copy) {
    for (int attempt = 1; attempt <= NameTries; ++attempt) {
        const std::string name = conflictName(copy.targetName, copy.decided->mtime, attempt);
        if (copy.folder->renameNoReplace(copy.targetName, name)) {
            owner_.versionKept(copy, name);
            return true;
        }
        if (takeIoFailure().code != 183)
            break; // say it below, under the target's own path
    }
    setPendingIo(IoFailure{183, FailureReach::ThisPath});
    return false;
}

bool CommitBatch::linkInPlace(PendingCopy& copy) {
    if (copy.folder->linkAs(*copy.file, copy.targetName)) {
        copy.temp = copy.target; // ours alone, should the rest of the commit fail
        return true;
    }
    // Whatever refused it (a name the medium refuses, something there now) shows again
    // through the temporary's name and the rename.
    takeIoResult();
    return false;
}

bool CommitBatch::nameUnnamed(PendingCopy& copy) {
    for (int attempt = 0; attempt < NameTries; ++attempt) {
        const std::string name = newTempName();
        const std::string path = copy.folder->entryPath(name);
        if (!recordTemp(*copy.folder, name))
            return false;
        if (copy.folder->linkAs(*copy.file, name)) {
            copy.temp = path;
            owner_.probe(ProbePoint::Named, copy.target);
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

void CommitBatch::journalTime(const PendingCopy& copy) {
    // Refused, the time is still set a moment later; only a kill just then would leave it
    // wrong, and the journal's own failures end the run at the next temporary.
    if (!copy.folder->keepsTimesOfOpenFiles())
        (void)journal().recordTime(*copy.folder, copy.targetName, copy.mtime,
                                   static_cast<std::uint64_t>(copy.size));
}

void CommitBatch::forgetTime(const PendingCopy& copy) noexcept {
    // what has the target's name is not the copy: no later run may change its time
    if (journal_ && !copy.folder->keepsTimesOfOpenFiles())
        journal_->withdrawTime(*copy.folder, copy.targetName);
}

void CommitBatch::keepTime(const PendingCopy& copy) {
    // FUSE drivers of FAT and exFAT drop a time set on the open file at its write-out or
    // rename; the next run would take the copy for newer than its source.
    if (copy.folder->keepsTimesOfOpenFiles())
        return;
    owner_.probe(ProbePoint::BeforeTimeKept, copy.target);
    const auto now = copy.folder->status(copy.targetName);
    if (now && orderTarget(copy.mtime, now) == TargetOrder::Equal)
        return;
    if (copy.folder->setTime(copy.targetName, copy.mtime))
        return;
    // the bytes are in place, but the copy's time is wrong
    owner_.copyFailed(takeIoFailure().code, copy.target, true);
}

} // namespace qm
