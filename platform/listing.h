#pragma once

#include <cstdint>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

namespace qm {

/// A folder's device and inode: the same folder however it is reached (a link, a bind mount).
using FolderIdentity = std::pair<dev_t, ino_t>;

class FolderHandle;

enum class EntryKind { File, Folder, Symlink, Special };

/// The kind of an lstat mode.
EntryKind entryKindOf(unsigned int mode);

/// One entry of a folder listing; fields from lstat (links are not followed).
struct ListEntry {
    std::string name;
    std::int64_t size = 0;       ///< full 64-bit size; 0 for folders, "." and ".."
    std::int32_t attributes = 0; ///< faDirectory only for a real folder
    std::uint32_t mode = 0;      ///< st_mode & 07777
    EntryKind kind = EntryKind::File;
    timespec mtime{}; ///< exact modification time
};

/// How much a listing finds out about each entry.
enum class ListingDetail {
    Full,     ///< every field, from lstat
    KindOnly, ///< name and kind only, from the entry type the folder gives (no stat per file)
    Files,    ///< every field of what is no folder; a folder by its entry type alone
};

/// A listing of every entry of one folder, "." and ".." included, in the file
/// system's order. Owns its descriptor; reads the folder a buffer at a time.
class FolderListing {
public:
    explicit FolderListing(const std::string& folder, ListingDetail detail = ListingDetail::Full);
    /// Lists an open folder (on a descriptor of its own, from the start).
    explicit FolderListing(const FolderHandle& folder, ListingDetail detail = ListingDetail::Full);
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    /// 0 when the listing started and every next() so far succeeded, otherwise the error
    /// code (3 missing, 5 denied, 1117 a read that failed part-way, ...).
    int error() const { return error_; }
    /// Fills `entry` with the next entry; false at the end or when reading the folder failed
    /// (error() tells them apart; entry unchanged).
    bool next(ListEntry& entry);
    /// Ends the listing; harmless when it never started or is already closed.
    void close();
    /// The listed folder's identity (one fstat); none when it did not open.
    std::optional<FolderIdentity> identity() const;

private:
    /// The next raw entry; null at the end or on failure (error_ set).
    const struct dirent64* nextRaw();

    int fd_ = -1;
    ListingDetail detail_;
    int error_ = 0;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    std::size_t offset_ = 0;
};

/// Test seam: called before every entry of every listing is read (nullptr ends it). The
/// hook returns false with errno set to make that read fail.
using ReadDirHook = bool (*)();
void setReadDirHook(ReadDirHook hook);

} // namespace qm
