#pragma once

#include "listing.h"
#include "thread_signal.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace qm {

/// Lists one folder after another, as FolderListing does: the same entries, order and
/// errors. Past its first entries, a large folder is read on a thread of its own, a few
/// entries ahead of the caller, so that the stat of each entry overlaps the caller's work on
/// the ones before it. Whenever nothing has been read ahead the caller reads the next entry
/// itself, so a reader the system does not run costs no waiting; one that keeps falling
/// behind (no core to spare) is left alone for a while. One listing at a time, started,
/// read and finished by one caller.
class ListingReader {
public:
    ListingReader();
    ~ListingReader(); ///< ends the listing and the reading thread
    ListingReader(const ListingReader&) = delete;
    ListingReader& operator=(const ListingReader&) = delete;

    /// Ends the listing before and starts listing `folder`; the folder is opened here.
    void start(const FolderHandle& folder, ListingDetail detail);
    /// As FolderListing::next().
    bool next(ListEntry& entry);
    /// As FolderListing::error(): the open's error at once, a failed read once next() has
    /// returned false.
    int error() const;
    /// Ends the listing; the reading thread has let go of the folder when this returns.
    void finish();

private:
    static constexpr std::uint32_t kSlots = 64;
    static constexpr std::uint32_t kEnded = 1u << 31;
    /// Entries of each folder the caller reads before handing the rest over: in a small
    /// folder the hand-over would cost more than its stats.
    static constexpr int kReadHere = 128;
    static constexpr int kMinBackoff = 8;
    static constexpr int kMaxBackoff = 256;
    /// How long the caller waits for a reader busy with the next entry before sleeping.
    static constexpr int kSpinsForTheLock = 2000;

    void handOver();
    void work();
    void readListing();
    /// The listing's next entry, with endError_ set at its end. Under reading_.
    bool readOne(ListEntry& entry);

    std::optional<FolderListing> listing_;
    std::mutex reading_; ///< held by whichever side reads the listing
    std::array<ListEntry, kSlots> slots_;
    std::atomic<std::uint32_t> ready_{0};    ///< entries read since the hand-over, | kEnded
    std::atomic<std::uint32_t> consumed_{0}; ///< entries taken by the caller
    std::atomic<std::uint32_t> job_{0};      ///< listings started
    std::atomic<std::uint32_t> left_{0};     ///< listings the reader has let go of
    std::atomic<bool> stop_{false};
    std::atomic<bool> quit_{false};
    int endError_ = 0;          ///< the listing's error, published with kEnded
    ThreadSignal callerSignal_; ///< an entry read, the end, the reader gone
    ThreadSignal readerSignal_; ///< a folder handed over, room taken, stop, quit
    bool noThread_ = false;     ///< none could be had
    bool inline_ = true;        ///< the caller reads this listing itself
    int readHere_ = 0;          ///< entries of this folder the caller read itself
    int readAhead_ = 0;         ///< and those it took from the reader
    int skips_ = 0;             ///< folders left to read here alone
    int backoff_ = kMinBackoff;
    std::thread reader_;
};

} // namespace qm
