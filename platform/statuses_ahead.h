#pragma once

#include "file_ops.h"
#include "folder_handle.h"
#include "thread_signal.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

namespace qm {

/// The statuses of every entry of the next folder a pass will work on, read on a thread of
/// its own while the caller still works on the folder before it: the caller then looks each
/// name up instead of asking the system. A cache, never an answer: a name that was not read
/// (not there, not yet listed, more than it keeps) is for the caller to stat itself, and
/// what was read is kept only for the very folder the caller opened, read moments ago.
/// Started, taken and forgotten by one caller.
class StatusesAhead {
public:
    StatusesAhead();
    ~StatusesAhead(); ///< the reading thread ends with it
    StatusesAhead(const StatusesAhead&) = delete;
    StatusesAhead& operator=(const StatusesAhead&) = delete;

    /// Starts reading `relative` (names separated by "/") beneath `root`, as
    /// FolderHandle::openBeneath opens it; whatever was read before is forgotten.
    void read(const std::shared_ptr<const FolderHandle>& root, const std::string& relative);
    /// The caller has opened that folder itself as `folder`: keeps what was read if the
    /// reading is done, read this same folder and began moments ago (kFreshFor). True when
    /// something is kept.
    bool take(const FolderHandle& folder);
    /// The status read for `name`; none when the caller must stat it itself.
    std::optional<PathStatus> find(const std::string& name) const;
    /// Keeps nothing any more (the caller wrote into the folder).
    void forget();

private:
    /// At most this many entries are kept: a huge folder's rest is stat-ed as it comes.
    static constexpr std::size_t kMaxEntries = 8192;
    /// Copies already wait up to a batch between their look at the target and their rename;
    /// a reading ahead adds at most this to it.
    static constexpr std::chrono::milliseconds kFreshFor{250};

    struct Job {
        std::shared_ptr<const FolderHandle> root;
        std::string relative;
        std::chrono::steady_clock::time_point began;
        std::atomic<bool> cancelled{false};
        std::atomic<bool> done{false};
        std::optional<std::pair<dev_t, ino_t>> identity; ///< of the folder read
        std::unordered_map<std::string, PathStatus> statuses;
    };

    void work();
    static void readFolder(Job& job);

    std::mutex posting_; ///< guards posted_ and quit_
    std::shared_ptr<Job> posted_;
    bool quit_ = false;
    std::atomic<std::uint32_t> posts_{0};
    ThreadSignal readerSignal_;
    std::shared_ptr<Job> kept_;  ///< the caller's alone
    std::shared_ptr<Job> asked_; ///< the caller's alone: the last one it posted
    bool noThread_ = false;
    std::thread reader_;
};

} // namespace qm
