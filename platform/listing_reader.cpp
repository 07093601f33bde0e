#include "listing_reader.h"

#include "io_error.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace qm {

ListingReader::ListingReader() = default;

ListingReader::~ListingReader() {
    finish();
    if (reader_.joinable()) {
        quit_.store(true);
        readerSignal_.wakeAlways();
        reader_.join();
    }
}

void ListingReader::start(const FolderHandle& folder, ListingDetail detail) {
    finish();
    listing_.emplace(folder, detail);
    inline_ = true;
    readHere_ = 0;
}

bool ListingReader::next(ListEntry& entry) {
    if (!listing_)
        return false;
    if (inline_) {
        const bool more = listing_->next(entry);
        // Most folders are small: handing one over costs more than its stats.
        if (more && !noThread_ && ++readHere_ == kReadHere) {
            if (skips_ > 0)
                --skips_;
            else
                handOver();
        }
        return more;
    }
    const std::uint32_t taken = consumed_.load();
    for (int spin = 0;; ++spin) {
        const std::uint32_t ready = ready_.load();
        if ((ready & ~kEnded) != taken) {
            ++readAhead_;
            entry = slots_[taken % kSlots]; // a copy: both keep their strings' room
            consumed_.store(taken + 1);
            readerSignal_.wake();
            return true;
        }
        if (ready & kEnded)
            return false;
        // Nothing read ahead: read it here rather than wait for a reader the system may
        // not be running (a busy machine), unless the reader is at it right now.
        std::unique_lock lock(reading_, std::try_to_lock);
        if (!lock.owns_lock() && spin >= kSpinsForTheLock)
            lock.lock();
        if (lock.owns_lock()) {
            if (ready_.load() != ready)
                continue; // it was done meanwhile
            ++readHere_;
            const bool more = readOne(entry);
            // the entry never went through a slot: both counts step past it
            ready_.store(more ? taken + 1 : taken | kEnded);
            if (more)
                consumed_.store(taken + 1);
            return more;
        }
        ThreadSignal::relax();
    }
}

void ListingReader::handOver() {
    if (!reader_.joinable()) {
        try {
            reader_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            noThread_ = true; // out of threads (a process limit): every listing is read here
            return;
        }
    }
    ready_.store(0);
    consumed_.store(0);
    stop_.store(false);
    endError_ = 0;
    readAhead_ = 0;
    readHere_ = 0;
    inline_ = false;
    job_.fetch_add(1);
    readerSignal_.wake();
}

int ListingReader::error() const {
    if (!listing_)
        return 0;
    if (inline_)
        return listing_->error();
    return (ready_.load() & kEnded) ? endError_ : 0;
}

void ListingReader::finish() {
    if (listing_ && !inline_ && job_.load() != left_.load()) {
        stop_.store(true);
        readerSignal_.wakeAlways();
        callerSignal_.await([&] { return left_.load() == job_.load(); });
    }
    if (listing_ && !inline_) {
        // A reader that kept falling behind had no core to itself: the machine is busy, and
        // it only takes time from the caller. Leave it be for a while, longer each time.
        if (readHere_ * 3 > readAhead_ + readHere_) {
            skips_ = backoff_;
            backoff_ = std::min(backoff_ * 2, kMaxBackoff);
        } else {
            backoff_ = kMinBackoff;
        }
    }
    listing_.reset();
}

void ListingReader::work() {
    std::uint32_t done = 0;
    for (;;) {
        readerSignal_.await([&] { return quit_.load() || job_.load() != done; });
        if (quit_.load())
            return;
        done = job_.load();
        readListing();
        left_.store(done);
        callerSignal_.wake();
    }
}

bool ListingReader::readOne(ListEntry& entry) {
    bool more = false;
    try {
        more = listing_->next(entry);
        endError_ = more ? 0 : listing_->error();
    } catch (...) { // out of memory for a name: nothing may leave the reading thread
        endError_ = codeFromErrno(ENOMEM);
    }
    return more;
}

void ListingReader::readListing() {
    for (;;) {
        readerSignal_.await(
            [&] { return stop_.load() || (ready_.load() & ~kEnded) - consumed_.load() < kSlots; });
        const std::lock_guard lock(reading_);
        const std::uint32_t ready = ready_.load();
        if (stop_.load() || (ready & kEnded))
            return; // the caller reads no further, or read the end itself
        const std::uint32_t count = ready & ~kEnded;
        if (count - consumed_.load() >= kSlots)
            continue;
        const bool more = readOne(slots_[count % kSlots]);
        ready_.store(more ? count + 1 : count | kEnded);
        callerSignal_.wake();
        if (!more)
            return;
    }
}

} // namespace qm
