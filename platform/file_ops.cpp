#include "file_ops.h"

#include "io_error.h"
#include "pending_io.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qm {

namespace {

SyncHook syncHook = nullptr;

bool fail(const std::string& path) {
    setPendingErrno(errno, false, path);
    return false;
}

} // namespace

PathStatus pathStatusOf(const struct stat& st) {
    PathStatus status;
    status.kind = entryKindOf(st.st_mode);
    status.mtime = st.st_mtim;
    status.mode = st.st_mode & 07777;
    status.size = status.kind == EntryKind::Folder ? 0 : static_cast<std::int64_t>(st.st_size);
    status.device = st.st_dev;
    status.inode = st.st_ino;
    status.ctime = st.st_ctim;
    return status;
}

bool PathStatus::sameEntryAs(const PathStatus& other) const {
    return device == other.device && inode == other.inode && kind == other.kind &&
           size == other.size && mtime.tv_sec == other.mtime.tv_sec &&
           mtime.tv_nsec == other.mtime.tv_nsec && ctime.tv_sec == other.ctime.tv_sec &&
           ctime.tv_nsec == other.ctime.tv_nsec;
}

bool sameEntry(const std::optional<PathStatus>& a, const std::optional<PathStatus>& b) {
    if (!a || !b)
        return !a && !b;
    return a->sameEntryAs(*b);
}

timespec currentFileTime() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

std::optional<PathStatus> statPath(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return pathStatusOf(st);
}

std::optional<PathStatus> statFollowed(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return pathStatusOf(st);
}

void setSyncHook(SyncHook hook) {
    syncHook = hook;
}

bool flushFileSystemsOf(const std::vector<int>& openFiles) {
    std::vector<dev_t> done;
    for (const int fd : openFiles) {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return fail({});
        if (std::find(done.begin(), done.end(), st.st_dev) != done.end())
            continue;
        if ((syncHook != nullptr ? syncHook(fd) : ::syncfs(fd)) != 0)
            return fail({});
        done.push_back(st.st_dev);
    }
    return true;
}

} // namespace qm
