#pragma once

#include "file_ops.h"

#include <cerrno>
#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

namespace qm {

class BlockFile;

/// An open folder: every entry is reached relative to it, so a folder on the way that is
/// swapped for a link after it was opened never leads elsewhere. Subfolders are opened
/// beneath a root without passing through any link. Failures leave the code pending like
/// every other file operation, naming the entry by its full path.
class FolderHandle {
public:
    FolderHandle() = default;
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    /// Opens a folder the user chose by its path: links and mount points on its way are
    /// followed. False with code pending.
    [[nodiscard]] bool openRoot(const std::string& path);
    /// openRoot, refused unless it opens the folder of `expected` identity: a link or another
    /// folder put at `path` since that folder was checked is refused with ELOOP, as a link met
    /// on the way. False with code pending.
    [[nodiscard]] bool openRootAs(const std::string& path, const FolderIdentity& expected);
    /// Opens `relative` (names separated by "/") beneath `root`. A link at any level, ".."
    /// or anything else that is not a folder is refused (ELOOP, EXDEV, ENOTDIR); `path` is
    /// the folder's full path for messages. False with code pending.
    [[nodiscard]] bool openBeneath(const FolderHandle& root, const std::string& relative,
                                   const std::string& path);
    /// Closes; operations then fail as on a folder that was never opened.
    void close();

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    /// The full path the folder was opened by (for messages).
    const std::string& path() const { return path_; }
    /// False when the folder may be searched but not read: it cannot be listed.
    bool readable() const { return readable_; }
    /// The full path of an entry (for messages).
    std::string entryPath(const std::string& name) const;

    /// The device and inode of the open folder, none when it cannot be queried: tells two
    /// opens of one path apart when something was swapped in between.
    std::optional<std::pair<dev_t, ino_t>> identity() const;
    /// The device the folder lies on, asked once while it stays open.
    std::optional<dev_t> device() const;
    /// fstatat of an entry; a link is not followed. None when it cannot be queried;
    /// nothing pending (as statPath).
    std::optional<PathStatus> status(const std::string& name) const;
    /// Opens an existing regular file for reading into `file` (its path is only for
    /// messages): never follows a link and never blocks; something else swapped in is
    /// refused (file.notRegular()). False with code pending.
    [[nodiscard]] bool openRead(BlockFile& file, const std::string& name) const;
    /// Opens an existing regular file for writing in place: never through a link, never
    /// blocking (something else swapped in is refused: file.notRegular()). False with code
    /// pending.
    [[nodiscard]] bool openWrite(BlockFile& file, const std::string& name) const;
    /// Creates a new file that must not exist yet (O_EXCL, never through a link), open for
    /// reading and writing. False with code pending.
    [[nodiscard]] bool createNew(BlockFile& file, const std::string& name,
                                 mode_t mode = 0600) const;
    /// Creates a file without a name in this folder (O_TMPFILE) into `file`: nothing is left
    /// of it unless linkAs() gives it one. False with code pending where the file system
    /// cannot (FAT, exFAT, FUSE) or the folder refuses.
    [[nodiscard]] bool createUnnamed(BlockFile& file) const;
    /// Gives a file made by createUnnamed() the name `name` in this folder, which must not
    /// exist yet; the file's path becomes its full path. False with code pending.
    [[nodiscard]] bool linkAs(BlockFile& file, const std::string& name) const;
    /// Renames an entry of this folder over `toName` in `to` (replacing a file or link,
    /// never writing through it). False with code pending, naming the new path.
    [[nodiscard]] bool rename(const std::string& name, const FolderHandle& to,
                              const std::string& toName) const;
    /// Renames an entry of this folder to `toName` here, which must not exist (183 when it
    /// does). Where the file system cannot refuse atomically, a look just before the rename
    /// stands in. False with code pending, naming the new path.
    [[nodiscard]] bool renameNoReplace(const std::string& name, const std::string& toName) const;
    /// Gives the file `name` the second name `newName` here, which must not exist yet (183
    /// when it does). False with code pending.
    [[nodiscard]] bool hardLink(const std::string& name, const std::string& newName) const;
    /// Writes the folder's own entries out (fsync), so that a rename in it lasts. False with
    /// code pending.
    [[nodiscard]] bool flush() const;
    /// Removes a file or link (never a folder). False with code pending.
    [[nodiscard]] bool remove(const std::string& name) const;
    /// The text of a link. False with code pending.
    [[nodiscard]] bool readLink(const std::string& name, std::string& text) const;
    /// Creates a link holding `text`. False with code pending.
    [[nodiscard]] bool createLink(const std::string& text, const std::string& name) const;
    /// Sets an entry's modification time (a link's own time, never its target's); the access
    /// time becomes now, or stays with `keepAccess`. False with code pending.
    [[nodiscard]] bool setTime(const std::string& name, const timespec& mtime,
                               bool keepAccess = false) const;
    /// Makes a subfolder (`mode`, umask applies). False with code pending (183 exists).
    [[nodiscard]] bool makeFolder(const std::string& name, mode_t mode = 0777) const;

    /// True where the file system is known to keep a time set on an open file through its
    /// write-out and rename (ext4, btrfs, XFS, tmpfs); FUSE drivers of FAT and exFAT do not.
    bool keepsTimesOfOpenFiles() const;
    /// True where the file system is known to keep exact times in UTC (the same media);
    /// others may keep local two-second stamps (FAT) or be unknown (FUSE, shares).
    bool keepsExactTimes() const { return keepsTimesOfOpenFiles(); }

private:
    /// Takes the folder `open(flags)` gives, falling back to a search-only descriptor;
    /// false with the code pending.
    template <typename Open> bool adopt(Open open);
    bool fail(const std::string& name, bool folderOperation = false) const;
    /// openRead and openWrite: `access` O_RDONLY or O_WRONLY.
    bool openExistingFile(BlockFile& file, const std::string& name, int access) const;
    /// A folder that could not be opened fails each entry as the open failed.
    bool failClosed(const std::string& name, bool folderOperation = false) const;
    int fd_ = -1;
    bool readable_ = false;
    int openErrno_ = EBADF;       ///< why the last open failed
    mutable int keepsTimes_ = -1; ///< keepsTimesOfOpenFiles(), once known
    mutable std::optional<dev_t> device_;
    std::string path_;
};

/// Test seam: opens subfolders component by component, as on a kernel without openat2.
void setBeneathWalkForced(bool forced);

} // namespace qm
