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
} // namespace

void setReadDirHook(ReadDirHook hook) {
    readDirHook = hook;
}

FolderListing::FolderListing(const std::string& folder, ListingDetail detail)
    : folder_(folder), detail_(detail) {
    dir_ = ::opendir(folder_.c_str());
    if (dir_ == nullptr)
        error_ = codeFromErrno(errno, true);
}

FolderListing::FolderListing(const FolderHandle& folder, ListingDetail detail)
    : folder_(folder.path()), detail_(detail) {
    // Its own open of "." reads from the start, whatever the handle was used for, and asks
    // for reading access where the handle was opened only for searching.
    const int fd = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        dir_ = ::fdopendir(fd);
        if (dir_ == nullptr) {
            const int err = errno;
            ::close(fd);
            errno = err;
        }
    }
    if (dir_ == nullptr)
        error_ = codeFromErrno(errno, true);
}

FolderListing::~FolderListing() {
    close();
}

void FolderListing::close() {
    if (dir_ != nullptr) {
        ::closedir(dir_);
        dir_ = nullptr;
    }
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
    if (dir_ == nullptr)
        return false;
    for (;;) {
        errno = 0;
        const dirent* d = readDirHook != nullptr ? readDirHook(dir_) : ::readdir(dir_);
        if (d == nullptr) {
            // a folder whose reading fails part-way is no shorter folder
            if (errno != 0)
                error_ = codeFromErrno(errno, true);
            return false;
        }
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
        if (::fstatat(::dirfd(dir_), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
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
