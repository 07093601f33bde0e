#include "text_file.h"

#include "block_file.h"
#include "folder_handle.h"
#include "listing.h"
#include "pending_io.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <random>
#include <string>
#include <string_view>
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

/// Raises the pending failure, naming the path the caller gave.
[[noreturn]] void failPending(const std::string& path) {
    const int code = takeIoResult();
    throw IoError(code, ioErrorMessage(code), path);
}

/// Writes every byte; false with the code pending (a write that takes nothing: disk full).
bool writeWhole(BlockFile& file, std::string_view bytes) {
    while (!bytes.empty()) {
        const std::int64_t done = file.write(bytes.data(), bytes.size());
        if (done < 0)
            return false;
        if (done == 0) {
            setPendingErrno(ENOSPC);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    return true;
}

/// Copies the folder's file `from` to `copy`, which must not exist yet; false with the code
/// pending, and no copy left.
bool copyFile(const FolderHandle& folder, const std::string& from, const std::string& copy,
              mode_t mode) {
    BlockFile in(folder.entryPath(from));
    BlockFile out(folder.entryPath(copy));
    if (!folder.openRead(in, from) || !folder.createNew(out, copy, mode))
        return false;
    std::vector<char> buffer(kBlock);
    for (;;) {
        const std::int64_t done = in.read(buffer.data(), buffer.size());
        if (done == 0 && out.flushWhole() && out.close())
            return true;
        if (done <= 0 || !writeWhole(out, {buffer.data(), static_cast<std::size_t>(done)}))
            break;
    }
    const IoFailure failure = takeIoFailure();
    (void)folder.remove(copy);
    setPendingIo(failure);
    return false;
}

/// Keeps the file as it is under the first free "<file>.unloaded[.N]" name: a hard link
/// when the file system has them (no byte is read again from a disk that just failed),
/// otherwise a copy. Never replaces an existing file. Returns the name. throw IoError
[[noreturn]] void cannotKeep(int code, const std::string& name) {
    throw IoError(code,
                  ioErrorMessage(code) + ": the file was not read whole and is replaced only "
                                         "once a copy of it is kept as below, which failed",
                  name);
}

constexpr int kExists = 183;

std::string keepAside(const FolderHandle& folder, const std::string& file, const std::string& base,
                      mode_t mode) {
    for (int n = 1; n < 1000; ++n) {
        const std::string suffix = ".unloaded" + (n == 1 ? "" : "." + std::to_string(n));
        if (folder.hardLink(base, base + suffix))
            return file + suffix;
        if (takeIoResult() == kExists)
            continue;
        // No hard links here (FAT, some shares): a copy, flushed before the file is replaced.
        if (copyFile(folder, base, base + suffix, mode))
            return file + suffix;
        const int code = takeIoResult();
        if (code != kExists)
            cannotKeep(code, file + suffix);
    }
    cannotKeep(kExists, file + ".unloaded");
}

constexpr std::string_view kTempMark = ".saving-";
constexpr std::size_t kTempRandom = 6;

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

std::string tempName(const std::string& base) {
    static constexpr std::string_view letters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
    std::string name = base + std::string(kTempMark);
    for (std::size_t i = 0; i < kTempRandom; ++i)
        name += letters[pick(random)];
    return name;
}

/// Removes the temporaries of saves that never finished: named by our pattern, a regular
/// file of this user with one link, and locked by no save under way (each save holds a lock
/// on its temporary, which the system drops when the process dies).
void removeLeftovers(const FolderHandle& folder, const std::string& base) {
    std::vector<std::string> names;
    FolderListing listing(folder, ListingDetail::KindOnly);
    for (ListEntry entry; listing.next(entry);)
        if (entry.kind == EntryKind::File && isTempName(entry.name, base))
            names.push_back(entry.name);
    for (const std::string& name : names) {
        BlockFile file(folder.entryPath(name));
        struct stat st {};
        if (!folder.openRead(file, name) || ::fstat(file.fd(), &st) != 0 ||
            st.st_uid != ::geteuid() || st.st_nlink != 1)
            continue;
        if (::flock(file.fd(), LOCK_EX | LOCK_NB) != 0)
            continue; // a save under way
        const std::optional<PathStatus> now = folder.status(name);
        if (now && now->device == st.st_dev && now->inode == st.st_ino)
            (void)folder.remove(name);
    }
    (void)takeIoResult(); // what could not be removed waits for the next save
}

/// Rewrites an open file from its start, cuts it to the new size and flushes it. The room
/// for a longer file is taken first, so that a full disk fails before a byte is changed.
void rewriteInPlace(BlockFile& file, const std::string& bytes, off_t oldSize,
                    const std::string& path) {
    const auto size = static_cast<off_t>(bytes.size());
    if (size > oldSize) {
        const int err = ::posix_fallocate(file.fd(), oldSize, size - oldSize);
        if (err != 0) {
            // Gives back what was taken; the error to report is the first one.
            [[maybe_unused]] const int given = ::ftruncate(file.fd(), oldSize);
            fail(err, path);
        }
    }
    if (::lseek(file.fd(), 0, SEEK_SET) != 0)
        fail(errno, path);
    if (!writeWhole(file, bytes))
        failPending(path);
    if (::ftruncate(file.fd(), size) != 0)
        fail(errno, path);
    if (!file.flushWhole() || !file.close())
        failPending(path);
}

/// Removes the temporary unless released.
class TempName {
public:
    TempName(const FolderHandle& folder, std::string name)
        : folder_(folder), name_(std::move(name)) {}
    ~TempName() {
        if (released_)
            return;
        const IoFailure failure = takeIoFailure(); // the error under way stays the one told
        (void)folder_.remove(name_);
        setPendingIo(failure);
    }
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    void release() { released_ = true; }

private:
    const FolderHandle& folder_;
    std::string name_;
    bool released_ = false;
};

} // namespace

std::string replaceFile(const std::string& path, const std::string& bytes, bool keepOld) {
    const std::string file = followLinks(path);
    const std::string base = namePart(file);
    FolderHandle folder;
    if (!folder.openRoot(folderPart(file)))
        failPending(path);

    struct stat old {};
    bool exists = false;
    BlockFile writable(file);
    if (::fstatat(folder.fd(), base.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(old.st_mode))
            throw notRegularFile(path, old.st_mode);
        // Whether this process may write the file, exactly as the system decides (modes,
        // ACLs, read-only mounts); the open file serves the in-place rewrite.
        if (!folder.openWrite(writable, base)) {
            struct stat now {};
            if (writable.notRegular() &&
                ::fstatat(folder.fd(), base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0)
                throw notRegularFile(path, now.st_mode); // swapped since the look above
            failPending(path);
        }
        exists = true;
    } else if (errno != ENOENT) {
        fail(errno, path);
    }
    // A replaced file keeps its mode and owner; a new one gets 0666 less the umask, which
    // the system applies at the create.
    mode_t mode = exists ? old.st_mode & 07777 : 0666;

    std::string kept;
    if (keepOld && exists)
        kept = keepAside(folder, file, base, mode);

    BlockFile temp(file);
    std::string name;
    for (int tries = 0;; ++tries) {
        name = tempName(base);
        if (folder.createNew(temp, name, exists ? 0600 : mode))
            break;
        const int code = takeIoResult();
        if (code == kExists && tries < 100)
            continue;
        if (exists && code == 5) {
            // No new file can go beside it, but the file itself may be written.
            rewriteInPlace(writable, bytes, old.st_size, path);
            return kept;
        }
        throw IoError(code, ioErrorMessage(code), path);
    }
    TempName guard(folder, name);
    ::flock(temp.fd(), LOCK_EX); // tells the clean-up of another save that this one is under way

    if (exists) {
        if (temp.setOwner(old.st_uid, old.st_gid) != 0) {
            // Only root may give a file away; a member of the group may keep the group.
            // Set-ID bits are kept only with the owner and group they were set for.
            if (old.st_uid != ::geteuid())
                mode &= ~static_cast<mode_t>(S_ISUID);
            if (temp.setOwner(static_cast<uid_t>(-1), old.st_gid) != 0)
                mode &= ~static_cast<mode_t>(S_ISGID);
        }
        if (const int code = temp.setPermissions(mode); code != 0)
            throw IoError(code, ioErrorMessage(code), path);
    }
    if (!writeWhole(temp, bytes) || !temp.flushWhole())
        failPending(path);
    // Renamed while still open and locked, so no clean-up can take it first.
    if (!folder.rename(name, folder, base))
        failPending(path);
    guard.release();
    (void)temp.close(); // the data is on disk already: nothing is left for close to report
    (void)takeIoResult();
    // Until the folder is written out, the rename may be lost with the power.
    if (!folder.flush())
        failPending(path);
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
