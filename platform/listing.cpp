#include "listing.h"

#include "attributes.h"
#include "folder_handle.h"
#include "io_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

EntryKind entryKindOf(unsigned int mode) {
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    if (S_ISLNK(mode))
        return EntryKind::Symlink;
    return EntryKind::Special;
}

namespace {

ReadDirHook readDirHook = nullptr;
// As much as glibc's readdir asks for at a time.
constexpr std::size_t kBufferSize = 32 * 1024;

} // namespace

void setReadDirHook(ReadDirHook hook) {
    readDirHook = hook;
}

FolderListing::FolderListing(const std::string& folder, ListingDetail detail) : detail_(detail) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0)
        error_ = codeFromErrno(errno, true);
}

FolderListing::FolderListing(const FolderHandle& folder, ListingDetail detail) : detail_(detail) {
    // Its own open of "." reads from the start, whatever the handle was used for, and asks
    // for reading access where the handle was opened only for searching.
    fd_ = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0)
        error_ = codeFromErrno(errno, true);
}

FolderListing::~FolderListing() {
    close();
}

void FolderListing::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    buffer_.reset();
}

std::optional<FolderIdentity> FolderListing::identity() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        return std::nullopt;
    return FolderIdentity{st.st_dev, st.st_ino};
}

const struct dirent64* FolderListing::nextRaw() {
    if (readDirHook != nullptr && !readDirHook()) {
        error_ = codeFromErrno(errno, true);
        return nullptr;
    }
    if (offset_ >= used_) {
        if (!buffer_)
            buffer_ = std::make_unique<char[]>(kBufferSize);
        const ssize_t got = ::getdents64(fd_, buffer_.get(), kBufferSize);
        if (got <= 0) {
            // a folder whose reading fails part-way is no shorter folder
            if (got < 0)
                error_ = codeFromErrno(errno, true);
            return nullptr;
        }
        used_ = static_cast<std::size_t>(got);
        offset_ = 0;
    }
    const auto* entry = reinterpret_cast<const struct dirent64*>(buffer_.get() + offset_);
    offset_ += entry->d_reclen;
    return entry;
}

namespace {

mode_t modeFromDirentType(unsigned char type) {
    switch (type) {
    case DT_REG:
        return S_IFREG;
    case DT_DIR:
        return S_IFDIR;
    case DT_LNK:
        return S_IFLNK;
    default:
        return S_IFIFO;
    }
}

} // namespace

bool FolderListing::next(ListEntry& entry) {
    if (fd_ < 0 || error_ != 0)
        return false;
    for (;;) {
        const struct dirent64* d = nextRaw();
        if (d == nullptr)
            return false;
        if ((detail_ == ListingDetail::KindOnly && d->d_type != DT_UNKNOWN) ||
            (detail_ == ListingDetail::Files && d->d_type == DT_DIR)) {
            const mode_t type = modeFromDirentType(d->d_type);
            entry.name = d->d_name;
            entry.kind = entryKindOf(type);
            entry.size = 0;
            entry.attributes = S_ISDIR(type) ? faDirectory : 0;
            entry.mode = 0;
            entry.mtime = {};
            return true;
        }
        struct stat st {};
        if (::fstatat(fd_, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // removed since readdir saw it
            // Readable but not searchable folder: the name is all we know.
            st = {};
            st.st_mode = modeFromDirentType(d->d_type) | S_IWUSR;
        }
        entry.name = d->d_name;
        entry.kind = entryKindOf(st.st_mode);
        entry.size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
        entry.attributes = attributeBitsOf(st.st_mode, entry.name);
        entry.mode = st.st_mode & 07777;
        entry.mtime = st.st_mtim;
        return true;
    }
}

} // namespace qm
