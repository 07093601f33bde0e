#include "file_ops.h"

#include "io_error.h"
#include "pending_io.h"

#include <algorithm>
#include <cerrno>
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
    return status;
}

std::optional<PathStatus> statPath(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    return pathStatusOf(st);
}

bool renamePath(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    return fail(to);
}

bool setPathTime(const std::string& path, const timespec& mtime) {
    // fusefat ignores a new modification time whose access time is left out
    const timespec times[2] = {{0, UTIME_NOW}, mtime};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    return fail(path);
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0)
        return true;
    return fail(path);
}

bool readLink(const std::string& path, std::string& text) {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return fail(path);
        if (static_cast<std::size_t>(n) < buffer.size()) {
            text.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2); // may have been cut; try a larger buffer
    }
}

bool createLink(const std::string& text, const std::string& path) {
    if (::symlink(text.c_str(), path.c_str()) == 0)
        return true;
    return fail(path);
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

int setLinkModificationTime(const std::string& path, const timespec& time) {
    const timespec times[2] = {{0, UTIME_OMIT}, time};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    return codeFromErrno(errno, false, path);
}

} // namespace qm
