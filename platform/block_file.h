#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

namespace qm {

/// What fstat says about an open file: enough to tell whether it changed and who owns it.
struct FileStatus {
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t size = 0;
    std::int64_t allocated = 0; ///< bytes the file system holds for it (st_blocks x 512)
    timespec mtime{};
    timespec ctime{};
    uid_t owner = 0;
    gid_t group = 0;
    std::uint32_t mode = 0; ///< st_mode & 07777
    bool sameContentAs(const FileStatus& other) const;
};

/// True when the process runs as root (may give files away and keep owners).
bool runningAsRoot();

/// An untyped file for block I/O (record size 1). Failures leave a code pending and
/// return false / -1; the caller follows with takeIoResult() or ioCheck().
/// The destructor closes silently; close() where closing can fail.
class BlockFile {
public:
    explicit BlockFile(std::string path); ///< assign: binds the name, no system call
    ~BlockFile();
    BlockFile(const BlockFile&) = delete;
    BlockFile& operator=(const BlockFile&) = delete;

    const std::string& path() const { return path_; }
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    /// Opens an existing regular file for reading only; never follows a final symbolic link
    /// and never blocks (a FIFO or device swapped in is refused: notRegular()).
    [[nodiscard]] bool openRead();
    /// After a refused openRead: the path held something other than a regular file.
    bool notRegular() const { return notRegular_; }
    /// After a successful openRead: what fstat said of the open file then.
    const FileStatus& statusAtOpen() const { return opened_; }
    /// Opens an existing file for reading and writing.
    [[nodiscard]] bool openExisting();
    /// Creates or truncates for reading and writing.
    [[nodiscard]] bool create();
    /// Creates a new file that must not exist yet (O_EXCL, never through a link).
    [[nodiscard]] bool createNew(mode_t mode = 0600);

    /// Reads up to `count` bytes; 0 at the end; -1 on failure (code pending). 103 when not open.
    [[nodiscard]] std::int64_t read(void* buffer, std::size_t count);
    /// One write call; may be short. -1 on failure (code pending). 103 when not open.
    [[nodiscard]] std::int64_t write(const void* buffer, std::size_t count);

    /// futimens: sets only the modification time. Returns 0 or the code; nothing pending.
    [[nodiscard]] int setModificationTime(const timespec& time);
    /// fchmod. Returns 0 or the code; nothing pending.
    [[nodiscard]] int setPermissions(std::uint32_t mode);
    /// fchown. Returns 0 or the code; nothing pending.
    [[nodiscard]] int setOwner(uid_t owner, gid_t group);
    /// fstat of the open file; false with code pending.
    [[nodiscard]] bool status(FileStatus& status) const;
    /// fdatasync; false with code pending on failure.
    [[nodiscard]] bool flush();
    /// fsync: the data and what the file's entry says of it (mode, owner); false with code
    /// pending on failure.
    [[nodiscard]] bool flushWhole();
    /// Closes; false with code pending on failure; 103 pending when not open.
    [[nodiscard]] bool close();

private:
    friend class FolderHandle;
    bool checkRegular(); ///< closes and refuses what is not a regular file
    bool flushOnce(bool dataOnly);
    std::string path_;
    int fd_ = -1;
    bool notRegular_ = false;
    FileStatus opened_{};
};

/// Test seam: replaces the write system call for every BlockFile (nullptr restores it).
/// The hook returns what write(2) would and sets errno on failure.
using WriteHook = ssize_t (*)(int fd, const void* buffer, std::size_t count);
void setWriteHook(WriteHook hook);
/// True while a write hook is set.
bool writeHookSet();

/// write(2), or the hook when one is set; retries on EINTR. Shared by every writer here.
ssize_t writeCall(int fd, const void* buffer, std::size_t count);

/// Test seam: replaces fsync and fdatasync of files and folders (nullptr restores it). The
/// hook returns what fsync(2) would and sets errno on failure.
using FlushHook = int (*)(int fd);
void setFlushHook(FlushHook hook);
/// fsync(2), or fdatasync(2) with `dataOnly`, or the hook when one is set.
int flushCall(int fd, bool dataOnly);

} // namespace qm
