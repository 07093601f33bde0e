#include "folder_handle.h"

#include "block_file.h"
#include "folders.h"
#include "io_error.h"
#include "pending_io.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qm {

namespace {

bool beneathWalkForced = false;

constexpr int FolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// A folder that may be searched but not read still holds entries one can reach.
constexpr int SearchOnlyFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

template <typename Call> int retried(Call call) {
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

/// O_DIRECTORY meets a link with ENOTDIR: a link is told apart so that it is named as one.
/// errno is kept.
bool isLink(int dirfd, const std::string& relative) {
    const int err = errno;
    struct stat st {};
    const bool link =
        ::fstatat(dirfd, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    errno = err;
    return link;
}

/// openat2 beneath `dirfd` without any link; -1 with errno ENOSYS where the kernel (or a
/// sandbox) does not offer it.
int openBeneathOnce(int dirfd, const std::string& relative, int flags) {
    if (beneathWalkForced) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    // EAGAIN: the kernel met a rename or mount elsewhere during a scoped lookup and could
    // not vouch for it; it asks callers to try again
    int fd = -1;
    for (int attempt = 0; attempt < 8; ++attempt) {
        fd = retried([&] {
            const char* name = relative.empty() ? "." : relative.c_str();
            return static_cast<int>(::syscall(SYS_openat2, dirfd, name, &how, sizeof how));
        });
        if (fd >= 0 || errno != EAGAIN)
            break;
    }
    // a link on the way gives ELOOP already; only the last name needs telling apart
    if (fd < 0 && errno == ENOTDIR && isLink(dirfd, relative))
        errno = ELOOP;
    return fd;
}

/// The same, one name at a time with O_NOFOLLOW: no link and no ".." on the way.
int openBeneathWalk(int dirfd, const std::string& relative, int flags) {
    std::vector<std::string> names;
    for (std::size_t start = 0; start <= relative.size();) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        std::string name = relative.substr(start, end - start);
        start = end + 1;
        if (name == "..") {
            errno = EXDEV;
            return -1;
        }
        if (!name.empty() && name != ".")
            names.push_back(std::move(name));
    }
    if (names.empty())
        return retried([&] { return ::openat(dirfd, ".", flags); });
    int current = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        const int from = current >= 0 ? current : dirfd;
        const auto open = [&](int how) {
            return retried([&] { return ::openat(from, names[i].c_str(), how | O_NOFOLLOW); });
        };
        int next = open(last ? flags : FolderFlags);
        if (next < 0 && errno == EACCES && !last)
            next = open(SearchOnlyFlags); // only the last level must be readable
        const int err = next < 0 && errno == ENOTDIR && isLink(from, names[i]) ? ELOOP : errno;
        if (current >= 0)
            ::close(current);
        if (next < 0) {
            errno = err;
            return -1;
        }
        current = next;
    }
    return current;
}

int openBeneath(int dirfd, const std::string& relative, int flags) {
    // The kernel takes no path of PATH_MAX bytes or more: a deeper folder is reached a part
    // at a time, each part beneath the folder the one before it opened.
    if (relative.size() >= PATH_MAX) {
        const std::size_t cut = relative.rfind('/', PATH_MAX - NAME_MAX - 2);
        if (cut != std::string::npos && cut > 0) {
            const std::string above = relative.substr(0, cut);
            int middle = openBeneath(dirfd, above, FolderFlags);
            if (middle < 0 && errno == EACCES)
                middle = openBeneath(dirfd, above, SearchOnlyFlags);
            if (middle < 0)
                return -1;
            const int fd = openBeneath(middle, relative.substr(cut + 1), flags);
            const int err = errno;
            ::close(middle);
            errno = err;
            return fd;
        }
    }
    const int fd = openBeneathOnce(dirfd, relative, flags);
    // A sandbox may refuse an unknown system call with EPERM (a real EPERM comes back from
    // the walk); a lookup the kernel kept giving up on goes the walk's way too, one name at a
    // time, where there is no such race.
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == EAGAIN))
        return openBeneathWalk(dirfd, relative, flags);
    return fd;
}

/// Refuses what is not a folder: O_DIRECTORY does so for a reading open, but an O_PATH open
/// may take a link as itself.
bool isFolder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

} // namespace

void setBeneathWalkForced(bool forced) {
    beneathWalkForced = forced;
}

FolderHandle::~FolderHandle() {
    close();
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), readable_(other.readable_), openErrno_(other.openErrno_),
      path_(std::move(other.path_)) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        readable_ = other.readable_;
        openErrno_ = other.openErrno_;
        path_ = std::move(other.path_);
    }
    return *this;
}

void FolderHandle::close() {
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
    readable_ = false;
    openErrno_ = EBADF;
    keepsTimes_ = -1; // what was known of the medium goes with the folder
    device_.reset();
}

bool FolderHandle::openRoot(const std::string& path) {
    close();
    path_ = path;
    return adopt([&](int flags) { return retried([&] { return ::open(path.c_str(), flags); }); });
}

bool FolderHandle::openRootAs(const std::string& path, const FolderIdentity& expected) {
    if (!openRoot(path))
        return false;
    if (identity() == expected)
        return true;
    close();
    openErrno_ = ELOOP;
    setPendingErrno(ELOOP, true, path);
    return false;
}

bool FolderHandle::openBeneath(const FolderHandle& root, const std::string& relative,
                               const std::string& path) {
    close();
    path_ = path;
    if (!root.isOpen()) {
        openErrno_ = root.openErrno_;
        setPendingErrno(openErrno_, true, path);
        return false;
    }
    return adopt([&](int flags) { return qm::openBeneath(root.fd_, relative, flags); });
}

template <typename Open> bool FolderHandle::adopt(Open open) {
    // A folder that may be searched but not read still serves for its entries.
    int fd = open(FolderFlags);
    readable_ = fd >= 0;
    if (fd < 0 && errno == EACCES)
        fd = open(SearchOnlyFlags);
    if (fd < 0 || (!readable_ && !isFolder(fd))) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        readable_ = false;
        openErrno_ = err;
        setPendingErrno(err, true, path_);
        return false;
    }
    fd_ = fd;
    return true;
}

std::string FolderHandle::entryPath(const std::string& name) const {
    return joinPath(path_, name);
}

bool FolderHandle::fail(const std::string& name, bool folderOperation) const {
    setPendingErrno(errno, folderOperation, entryPath(name));
    return false;
}

bool FolderHandle::failClosed(const std::string& name, bool folderOperation) const {
    errno = openErrno_;
    return fail(name, folderOperation);
}

std::optional<dev_t> FolderHandle::device() const {
    if (!device_)
        if (const auto id = identity())
            device_ = id->first;
    return device_;
}

std::optional<std::pair<dev_t, ino_t>> FolderHandle::identity() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        return std::nullopt;
    return std::pair{st.st_dev, st.st_ino};
}

std::optional<PathStatus> FolderHandle::status(const std::string& name) const {
    struct stat st {};
    if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return pathStatusOf(st);
}

bool FolderHandle::openExistingFile(BlockFile& file, const std::string& name, int access) const {
    if (fd_ < 0)
        return failClosed(name);
    if (file.fd_ >= 0)
        ::close(std::exchange(file.fd_, -1));
    file.notRegular_ = false;
    file.fd_ = retried([&] {
        return ::openat(fd_, name.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    });
    if (file.fd_ < 0)
        return fail(name);
    return file.checkRegular();
}

bool FolderHandle::openRead(BlockFile& file, const std::string& name) const {
    return openExistingFile(file, name, O_RDONLY);
}

bool FolderHandle::openWrite(BlockFile& file, const std::string& name) const {
    return openExistingFile(file, name, O_WRONLY);
}

bool FolderHandle::createNew(BlockFile& file, const std::string& name, mode_t mode) const {
    if (fd_ < 0)
        return failClosed(name);
    if (file.fd_ >= 0)
        ::close(std::exchange(file.fd_, -1));
    file.notRegular_ = false;
    file.fd_ = retried([&] {
        return ::openat(fd_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        mode);
    });
    return file.fd_ >= 0 || fail(name);
}

bool FolderHandle::createUnnamed(BlockFile& file) const {
    if (fd_ < 0) {
        setPendingErrno(openErrno_, false, path_);
        return false;
    }
    if (file.fd_ >= 0)
        ::close(std::exchange(file.fd_, -1));
    file.notRegular_ = false;
    file.fd_ = retried([&] { return ::openat(fd_, ".", O_RDWR | O_TMPFILE | O_CLOEXEC, 0600); });
    if (file.fd_ >= 0)
        return true;
    setPendingErrno(errno, false, path_);
    return false;
}

bool FolderHandle::linkAs(BlockFile& file, const std::string& name) const {
    if (fd_ < 0)
        return failClosed(name);
    if (file.fd_ < 0) {
        setPendingIo(103); // not open, as BlockFile says it
        return false;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(file.fd_);
    int done = ::linkat(AT_FDCWD, self.c_str(), fd_, name.c_str(), AT_SYMLINK_FOLLOW);
    if (done != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
        done = ::linkat(file.fd_, "", fd_, name.c_str(), AT_EMPTY_PATH); // no /proc: needs root
    if (done != 0)
        return fail(name);
    file.path_ = entryPath(name);
    return true;
}

bool FolderHandle::keepsTimesOfOpenFiles() const {
    if (keepsTimes_ < 0) {
        struct statfs fs {};
        keepsTimes_ = 0;
        if (fd_ >= 0 && ::fstatfs(fd_, &fs) == 0)
            switch (static_cast<unsigned long>(fs.f_type)) {
            case 0xEF53:     // ext2, ext3, ext4
            case 0x9123683E: // btrfs
            case 0x58465342: // XFS
            case 0x01021994: // tmpfs
                keepsTimes_ = 1;
                break;
            default:
                break;
            }
    }
    return keepsTimes_ == 1;
}

bool FolderHandle::rename(const std::string& name, const FolderHandle& to,
                          const std::string& toName) const {
    if (fd_ < 0 || to.fd_ < 0) {
        setPendingErrno(fd_ < 0 ? openErrno_ : to.openErrno_, false, to.entryPath(toName));
        return false;
    }
    if (::renameat(fd_, name.c_str(), to.fd_, toName.c_str()) == 0)
        return true;
    setPendingErrno(errno, false, to.entryPath(toName));
    return false;
}

bool FolderHandle::renameNoReplace(const std::string& name, const std::string& toName) const {
    if (fd_ < 0) {
        setPendingErrno(openErrno_, false, entryPath(toName));
        return false;
    }
    if (::renameat2(fd_, name.c_str(), fd_, toName.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        // FUSE and older file systems: nothing there a moment ago is the best we can know
        struct stat st {};
        if (::fstatat(fd_, toName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            errno = EEXIST;
        else if (errno == ENOENT && ::renameat(fd_, name.c_str(), fd_, toName.c_str()) == 0)
            return true;
    }
    setPendingErrno(errno, false, entryPath(toName));
    return false;
}

bool FolderHandle::hardLink(const std::string& name, const std::string& newName) const {
    if (fd_ < 0)
        return failClosed(newName);
    return ::linkat(fd_, name.c_str(), fd_, newName.c_str(), 0) == 0 || fail(newName);
}

bool FolderHandle::flush() const {
    if (fd_ < 0) {
        setPendingErrno(openErrno_, true, path_);
        return false;
    }
    // A search-only descriptor cannot be flushed, and some file systems cannot flush a
    // folder at all (EINVAL): their renames last as the system keeps them.
    if (!readable_ || flushCall(fd_, false) == 0 || errno == EINVAL || errno == EOPNOTSUPP)
        return true;
    setPendingErrno(errno, true, path_);
    return false;
}

bool FolderHandle::remove(const std::string& name) const {
    if (fd_ < 0)
        return failClosed(name);
    return ::unlinkat(fd_, name.c_str(), 0) == 0 || fail(name);
}

bool FolderHandle::readLink(const std::string& name, std::string& text) const {
    if (fd_ < 0)
        return failClosed(name);
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlinkat(fd_, name.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return fail(name);
        if (static_cast<std::size_t>(n) < buffer.size()) {
            text.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2); // may have been cut; try a larger buffer
    }
}

bool FolderHandle::createLink(const std::string& text, const std::string& name) const {
    if (fd_ < 0)
        return failClosed(name);
    return ::symlinkat(text.c_str(), fd_, name.c_str()) == 0 || fail(name);
}

bool FolderHandle::setTime(const std::string& name, const timespec& mtime, bool keepAccess) const {
    if (fd_ < 0)
        return failClosed(name);
    // fusefat ignores a new modification time whose access time is left out
    const timespec times[2] = {{0, keepAccess ? UTIME_OMIT : UTIME_NOW}, mtime};
    return ::utimensat(fd_, name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 || fail(name);
}

bool FolderHandle::makeFolder(const std::string& name, mode_t mode) const {
    if (fd_ < 0)
        return failClosed(name, true);
    return ::mkdirat(fd_, name.c_str(), mode) == 0 || fail(name, true);
}

} // namespace qm
