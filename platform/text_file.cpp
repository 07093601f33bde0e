#include "text_file.h"

#include "block_file.h"
#include "pending_io.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qm {

namespace {

constexpr char ctrlZ = 26;
constexpr std::size_t kBlock = 64 * 1024;

ReadHook readHook = nullptr;

ssize_t readCall(int fd, void* buffer, std::size_t count) {
    ssize_t done;
    do {
        done = readHook != nullptr ? readHook(fd, buffer, count) : ::read(fd, buffer, count);
    } while (done < 0 && errno == EINTR);
    return done;
}

int openCall(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

/// Closes on destruction.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    /// Closes now; the result of close(2) or 0.
    int close() {
        const int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

[[noreturn]] void fail(int err, const std::string& path) {
    const int code = codeFromErrno(err, false, path);
    throw IoError(code, ioErrorMessage(code), path);
}

} // namespace

void setReadHook(ReadHook hook) {
    readHook = hook;
}

std::string notRegularFileText(mode_t mode) {
    const char* kind = S_ISFIFO(mode)                   ? "a FIFO"
                       : S_ISSOCK(mode)                 ? "a socket"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                       : S_ISDIR(mode)                  ? "a folder"
                                                        : "no regular file";
    return std::string("The file is ") + kind +
           ", not a regular file: nothing is read from it or saved over it";
}

IoError notRegularFile(const std::string& path, mode_t mode) {
    return IoError(5, notRegularFileText(mode), path);
}

// ---- Reading ----

TextReader::~TextReader() {
    closeFile();
}

void TextReader::closeFile() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool TextReader::open(const std::string& path) {
    closeFile();
    data_.clear();
    pos_ = 0;
    open_ = false;
    readError_ = 0;
    stoppedAtCtrlZ_ = false;
    // Looked at before opening: opening a FIFO waits for a writer, a device may act on it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        setPendingIo(codeFromErrno(errno, false, path));
        return false;
    }
    if (!S_ISREG(st.st_mode))
        throw notRegularFile(path, st.st_mode);
    // O_NONBLOCK in case it was swapped since; it changes nothing for a regular file.
    const int fd = openCall(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        setPendingIo(codeFromErrno(errno, false, path));
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw notRegularFile(path, st.st_mode);
    }
    fd_ = fd;
    open_ = true;
    return true;
}

void TextReader::openBuffer(std::string bytes) {
    closeFile();
    data_ = std::move(bytes);
    pos_ = 0;
    open_ = true;
    readError_ = 0;
    stoppedAtCtrlZ_ = false;
}

bool TextReader::more() {
    if (fd_ < 0)
        return false;
    data_.erase(0, pos_);
    pos_ = 0;
    const std::size_t kept = data_.size();
    data_.resize(kept + kBlock);
    const ssize_t done = readCall(fd_, data_.data() + kept, kBlock);
    if (done <= 0) {
        data_.resize(kept);
        if (done < 0)
            readError_ = codeFromErrno(errno);
        closeFile();
        return false;
    }
    data_.resize(kept + static_cast<std::size_t>(done));
    return true;
}

bool TextReader::eof() {
    if (pos_ >= data_.size() && !more())
        return true;
    if (data_[pos_] != ctrlZ)
        return false;
    // A Ctrl-Z as the file's last byte is the old end-of-file mark; anything after it is
    // text that this load leaves unread.
    if (!stoppedAtCtrlZ_ && (pos_ + 1 < data_.size() || (more() && pos_ + 1 < data_.size())))
        stoppedAtCtrlZ_ = true;
    return true;
}

std::string TextReader::readLine() {
    std::string line;
    for (;;) {
        if (pos_ >= data_.size() && !more())
            break;
        const char c = data_[pos_];
        if (c == ctrlZ)
            break; // stays unread: the file ends here
        ++pos_;
        if (c == '\n')
            return line;
        if (c == '\r') {
            if (pos_ >= data_.size())
                more();
            if (pos_ < data_.size() && data_[pos_] == '\n') {
                ++pos_;
                return line;
            }
            continue; // a lone CR is dropped
        }
        line += c;
    }
    if (readError_ != 0)
        line.clear(); // the rest of this line was never read
    return line;
}

// ---- Writing ----

namespace {

mode_t currentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

std::string folderPart(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string namePart(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// The path with every final symbolic link followed (the folders on the way stay as given).
std::string followLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::string target(static_cast<std::size_t>(st.st_size) + 256, '\0');
        const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
        if (length < 0)
            fail(errno, path);
        if (static_cast<std::size_t>(length) == target.size())
            fail(ENAMETOOLONG, path); // the link grew while being read
        target.resize(static_cast<std::size_t>(length));
        const auto slash = current.find_last_of('/');
        if (target.empty() || target[0] == '/' || slash == std::string::npos)
            current = target;
        else
            current = current.substr(0, slash + 1) + target;
    }
    fail(ELOOP, path);
}

void writeAll(int fd, const std::string& bytes, const std::string& path) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t done = writeCall(fd, bytes.data() + written, bytes.size() - written);
        if (done < 0)
            fail(errno, path);
        if (done == 0)
            fail(ENOSPC, path);
        written += static_cast<std::size_t>(done);
    }
}

void syncFolder(const std::string& folder) {
    Fd fd(openCall(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (fd.get() >= 0)
        ::fsync(fd.get());
}

/// Copies the file's bytes to `copy`, which must not exist yet; false with errno set.
bool copyFile(const std::string& from, const std::string& copy, mode_t mode) {
    Fd in(openCall(from.c_str(), O_RDONLY | O_NONBLOCK));
    if (in.get() < 0)
        return false;
    Fd out(openCall(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode));
    if (out.get() < 0)
        return false;
    std::vector<char> buffer(kBlock);
    bool ok = true;
    for (;;) {
        const ssize_t done = readCall(in.get(), buffer.data(), buffer.size());
        if (done == 0)
            break;
        if (done < 0) {
            ok = false;
            break;
        }
        try {
            writeAll(out.get(), std::string(buffer.data(), static_cast<std::size_t>(done)), copy);
        } catch (const IoError&) {
            ok = false;
            break;
        }
    }
    ok = ok && ::fsync(out.get()) == 0 && out.close() == 0;
    if (!ok) {
        const int err = errno;
        ::unlink(copy.c_str());
        errno = err;
    }
    return ok;
}

/// Keeps the file as it is under the first free "<file>.unloaded[.N]" name: a hard link
/// when the file system has them (no byte is read again from a disk that just failed),
/// otherwise a copy. Never replaces an existing file. Returns the name. throw IoError
[[noreturn]] void cannotKeep(int err, const std::string& name) {
    const int code = codeFromErrno(err, false, name);
    throw IoError(code,
                  ioErrorMessage(code) + ": the file was not read whole and is replaced only "
                                         "once a copy of it is kept as below, which failed",
                  name);
}

std::string keepAside(const std::string& file, mode_t mode) {
    for (int n = 1; n < 1000; ++n) {
        const std::string name = file + ".unloaded" + (n == 1 ? "" : "." + std::to_string(n));
        if (::link(file.c_str(), name.c_str()) == 0)
            return name;
        if (errno == EEXIST)
            continue;
        if (errno != EPERM && errno != EMLINK && errno != ENOTSUP && errno != EXDEV)
            cannotKeep(errno, name);
        if (copyFile(file, name, mode))
            return name;
        if (errno == EEXIST)
            continue;
        cannotKeep(errno, name);
    }
    cannotKeep(EEXIST, file + ".unloaded");
}

constexpr std::string_view kTempMark = ".saving-";
constexpr std::size_t kTempRandom = 6; // mkostemp's XXXXXX

bool isTempName(const std::string& entry, const std::string& base) {
    if (entry.size() != base.size() + kTempMark.size() + kTempRandom ||
        entry.compare(0, base.size(), base) != 0 ||
        entry.compare(base.size(), kTempMark.size(), kTempMark) != 0)
        return false;
    for (std::size_t i = base.size() + kTempMark.size(); i < entry.size(); ++i) {
        const char c = entry[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

/// Removes the temporaries of saves that never finished: named by our pattern, a regular
/// file of this user with one link, and locked by no save under way (each save holds a lock
/// on its temporary, which the system drops when the process dies).
void removeLeftovers(const std::string& folder, const std::string& base) {
    const int dirFd = openCall(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd < 0)
        return;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (isTempName(name, base))
            names.push_back(name);
    }
    for (const std::string& name : names) {
        Fd fd(::openat(::dirfd(dir), name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid() || st.st_nlink != 1)
            continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue; // a save under way
        struct stat now {};
        if (::fstatat(::dirfd(dir), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

/// Rewrites an open file from its start, cuts it to the new size and flushes it. The room
/// for a longer file is taken first, so that a full disk fails before a byte is changed.
void rewriteInPlace(int fd, const std::string& bytes, off_t oldSize, const std::string& path) {
    const auto size = static_cast<off_t>(bytes.size());
    if (size > oldSize) {
        const int err = ::posix_fallocate(fd, oldSize, size - oldSize);
        if (err != 0) {
            // Gives back what was taken; the error to report is the first one.
            [[maybe_unused]] const int given = ::ftruncate(fd, oldSize);
            fail(err, path);
        }
    }
    if (::lseek(fd, 0, SEEK_SET) != 0)
        fail(errno, path);
    writeAll(fd, bytes, path);
    if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
        fail(errno, path);
    if (::fsync(fd) != 0)
        fail(errno, path);
}

/// Removes the temporary file unless released.
class TempFile {
public:
    TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~TempFile() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!released_)
            ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    int fd() const { return fd_; }
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }
    void release() { released_ = true; }

private:
    std::string path_;
    int fd_;
    bool released_ = false;
};

} // namespace

std::string replaceFile(const std::string& path, const std::string& bytes, bool keepOld) {
    const std::string file = followLinks(path);
    const std::string folder = folderPart(file);
    const std::string base = namePart(file);

    // A new file gets the usual 0666 less umask; a replaced one keeps its mode and owner.
    mode_t mode = 0666 & ~currentUmask();
    struct stat old {};
    bool exists = false;
    Fd writable;
    if (::lstat(file.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode))
            throw notRegularFile(path, old.st_mode);
        // Whether this process may write the file, exactly as the system decides (modes,
        // ACLs, read-only mounts); the descriptor serves the in-place rewrite.
        writable.reset(openCall(file.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW));
        if (writable.get() < 0)
            fail(errno, path);
        struct stat now {};
        if (::fstat(writable.get(), &now) != 0 || !S_ISREG(now.st_mode))
            throw notRegularFile(path, now.st_mode);
        exists = true;
        mode = old.st_mode & 07777;
    } else if (errno != ENOENT) {
        fail(errno, path);
    }

    std::string kept;
    if (keepOld && exists)
        kept = keepAside(file, mode);

    std::string pattern = folder + "/" + base + std::string(kTempMark) + "XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (exists && (err == EACCES || err == EPERM)) {
            // No new file can go beside it, but the file itself may be written.
            rewriteInPlace(writable.get(), bytes, old.st_size, path);
            if (writable.close() != 0 && errno != EINTR)
                fail(errno, path);
            return kept;
        }
        fail(err, path);
    }
    TempFile temp(pattern, fd);
    ::flock(fd, LOCK_EX); // tells the clean-up of another save that this one is under way

    if (exists && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Only root may give a file away; a member of the group may keep the group. Set-ID
        // bits are kept only with the owner and group they were set for.
        if (old.st_uid != ::geteuid())
            mode &= ~static_cast<mode_t>(S_ISUID);
        if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0)
            mode &= ~static_cast<mode_t>(S_ISGID);
    }
    if (::fchmod(fd, mode) != 0)
        fail(errno, path);
    writeAll(fd, bytes, path);
    if (::fsync(fd) != 0)
        fail(errno, path);
    // Renamed while still open and locked, so no clean-up can take it first.
    if (::rename(temp.path().c_str(), file.c_str()) != 0)
        fail(errno, path);
    temp.release();
    temp.close(); // the data is on disk already: nothing is left for close to report
    syncFolder(folder);
    removeLeftovers(folder, base);
    return kept;
}

bool createEmptyFile(const std::string& path) {
    // O_NONBLOCK: a FIFO put there meanwhile must not hold the program.
    const int fd = openCall(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK, 0666);
    if (fd < 0) {
        setPendingErrno(errno, false, path);
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace qm
