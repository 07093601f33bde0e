#include "block_file.h"

#include "pending_io.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qm {

namespace {

constexpr int notOpen = 103;

WriteHook writeHook = nullptr;
FlushHook flushHook = nullptr;

FileStatus statusOf(const struct stat& st) {
    FileStatus status;
    status.device = st.st_dev;
    status.inode = st.st_ino;
    status.size = st.st_size;
    status.allocated = static_cast<std::int64_t>(st.st_blocks) * 512;
    status.mtime = st.st_mtim;
    status.ctime = st.st_ctim;
    status.owner = st.st_uid;
    status.group = st.st_gid;
    status.mode = st.st_mode & 07777;
    return status;
}

} // namespace

void setWriteHook(WriteHook hook) {
    writeHook = hook;
}

bool writeHookSet() {
    return writeHook != nullptr;
}

ssize_t writeCall(int fd, const void* buffer, std::size_t count) {
    ssize_t done;
    do {
        done = writeHook != nullptr ? writeHook(fd, buffer, count) : ::write(fd, buffer, count);
    } while (done < 0 && errno == EINTR);
    return done;
}

void setFlushHook(FlushHook hook) {
    flushHook = hook;
}

int flushCall(int fd, bool dataOnly) {
    if (flushHook != nullptr)
        return flushHook(fd);
    return dataOnly ? ::fdatasync(fd) : ::fsync(fd);
}

BlockFile::BlockFile(std::string path) : path_(std::move(path)) {}

BlockFile::~BlockFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {

/// open(2) that retries on EINTR; leaves the code pending on failure.
int openFile(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        setPendingErrno(errno, false, path);
    return fd;
}

} // namespace

bool BlockFile::openRead() {
    if (fd_ >= 0)
        ::close(fd_);
    notRegular_ = false;
    fd_ = openFile(path_, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
    return fd_ >= 0 && checkRegular();
}

bool BlockFile::checkRegular() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        setPendingIo(codeFromErrno(errno));
    } else if (S_ISREG(st.st_mode)) {
        opened_ = statusOf(st);
        return true;
    } else {
        notRegular_ = true;
    }
    ::close(std::exchange(fd_, -1));
    return false;
}

bool BlockFile::openExisting() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = openFile(path_, O_RDWR, 0);
    return fd_ >= 0;
}

bool BlockFile::create() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = openFile(path_, O_RDWR | O_CREAT | O_TRUNC, 0666);
    return fd_ >= 0;
}

bool BlockFile::createNew(mode_t mode) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = openFile(path_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    return fd_ >= 0;
}

std::int64_t BlockFile::read(void* buffer, std::size_t count) {
    if (fd_ < 0) {
        setPendingIo(notOpen);
        return -1;
    }
    ssize_t done;
    do {
        done = ::read(fd_, buffer, count);
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        setPendingErrno(errno);
        return -1;
    }
    return done;
}

std::int64_t BlockFile::write(const void* buffer, std::size_t count) {
    if (fd_ < 0) {
        setPendingIo(notOpen);
        return -1;
    }
    ssize_t done = writeCall(fd_, buffer, count);
    if (done < 0) {
        setPendingErrno(errno);
        return -1;
    }
    return done;
}

int BlockFile::setModificationTime(const timespec& time) {
    if (fd_ < 0)
        return notOpen;
    const timespec times[2] = {{0, UTIME_OMIT}, time};
    return ::futimens(fd_, times) == 0 ? 0 : codeFromErrno(errno);
}

int BlockFile::setPermissions(std::uint32_t mode) {
    if (fd_ < 0)
        return notOpen;
    return ::fchmod(fd_, static_cast<mode_t>(mode & 07777)) == 0 ? 0 : codeFromErrno(errno);
}

int BlockFile::setOwner(uid_t owner, gid_t group) {
    if (fd_ < 0)
        return notOpen;
    return ::fchown(fd_, owner, group) == 0 ? 0 : codeFromErrno(errno);
}

bool BlockFile::status(FileStatus& status) const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        setPendingIo(fd_ < 0 ? notOpen : codeFromErrno(errno));
        return false;
    }
    status = statusOf(st);
    return true;
}

bool FileStatus::sameContentAs(const FileStatus& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec &&
           ctime.tv_sec == other.ctime.tv_sec && ctime.tv_nsec == other.ctime.tv_nsec;
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}

bool BlockFile::flushOnce(bool dataOnly) {
    if (fd_ < 0) {
        setPendingIo(notOpen);
        return false;
    }
    if (flushCall(fd_, dataOnly) != 0) {
        setPendingErrno(errno);
        return false;
    }
    return true;
}

bool BlockFile::flush() {
    return flushOnce(true);
}

bool BlockFile::flushWhole() {
    return flushOnce(false);
}

bool BlockFile::close() {
    if (fd_ < 0) {
        setPendingIo(notOpen);
        return false;
    }
    int fd = std::exchange(fd_, -1);
    // On Linux the descriptor is gone even when close reports EINTR; never retry.
    if (::close(fd) != 0 && errno != EINTR) {
        setPendingErrno(errno);
        return false;
    }
    return true;
}

} // namespace qm
