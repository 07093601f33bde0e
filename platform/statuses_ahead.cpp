#include "statuses_ahead.h"

#include "listing.h"
#include "pending_io.h"

#include <system_error>

namespace qm {

StatusesAhead::StatusesAhead() = default;

StatusesAhead::~StatusesAhead() {
    if (asked_)
        asked_->cancelled.store(true);
    if (reader_.joinable()) {
        {
            const std::lock_guard lock(posting_);
            quit_ = true;
        }
        posts_.fetch_add(1);
        readerSignal_.wakeAlways();
        reader_.join();
    }
}

void StatusesAhead::read(const std::shared_ptr<const FolderHandle>& root,
                         const std::string& relative) {
    if (asked_)
        asked_->cancelled.store(true); // never taken: let it go
    asked_.reset();
    if (noThread_)
        return;
    if (!reader_.joinable()) {
        try {
            reader_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            noThread_ = true; // out of threads (a process limit): the caller stats each name
            return;
        }
    }
    auto job = std::make_shared<Job>();
    job->root = root;
    job->relative = relative;
    job->began = std::chrono::steady_clock::now();
    {
        const std::lock_guard lock(posting_);
        posted_ = job;
    }
    asked_ = std::move(job);
    posts_.fetch_add(1);
    readerSignal_.wake();
}

bool StatusesAhead::take(const FolderHandle& folder) {
    kept_.reset();
    std::shared_ptr<Job> job = std::exchange(asked_, nullptr);
    if (!job)
        return false;
    if (!job->done.load()) {
        job->cancelled.store(true); // not waited for: the caller stats as it goes
        return false;
    }
    // Read a while ago, or another folder swapped in since: worth nothing.
    if (std::chrono::steady_clock::now() - job->began > kFreshFor || !job->identity ||
        job->identity != folder.identity())
        return false;
    kept_ = std::move(job);
    return true;
}

std::optional<PathStatus> StatusesAhead::find(const std::string& name) const {
    if (!kept_)
        return std::nullopt;
    const auto found = kept_->statuses.find(name);
    if (found == kept_->statuses.end())
        return std::nullopt;
    return found->second;
}

void StatusesAhead::forget() {
    kept_.reset();
}

void StatusesAhead::work() {
    std::uint32_t seen = 0;
    for (;;) {
        readerSignal_.await([&] { return posts_.load() != seen; });
        seen = posts_.load();
        std::shared_ptr<Job> job;
        {
            const std::lock_guard lock(posting_);
            if (quit_)
                return;
            job = std::exchange(posted_, nullptr);
        }
        if (!job)
            continue;
        try {
            if (!job->cancelled.load())
                readFolder(*job);
        } catch (...) {
            // out of memory for the names: what was read is still right, only shorter
        }
        job->done.store(true);
    }
}

void StatusesAhead::readFolder(Job& job) {
    FolderHandle folder;
    if (!folder.openBeneath(*job.root, job.relative, job.relative)) {
        takeIoResult(); // this thread's own: the caller meets the failure when it opens
        return;
    }
    job.identity = folder.identity();
    FolderListing listing(folder, ListingDetail::KindOnly);
    ListEntry entry;
    while (!job.cancelled.load() && job.statuses.size() < kMaxEntries && listing.next(entry)) {
        if (entry.name == "." || entry.name == "..")
            continue;
        // exactly the caller's own question, asked earlier
        if (const auto status = folder.status(entry.name))
            job.statuses.emplace(entry.name, *status);
    }
}

} // namespace qm
