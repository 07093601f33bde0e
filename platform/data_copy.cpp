#include "data_copy.h"

#include "block_file.h"
#include "folder_handle.h"
#include "pending_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/fs.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace qm {

namespace {

constexpr int DiskFullCode = 112;

// f_type of the file systems that are written whole: FAT and exFAT keep no holes, and a
// FUSE driver may not zero-fill what it never saw written.
constexpr long FatMagic = 0x4d44;
constexpr long ExfatMagic = 0x2011bab0;
constexpr long FuseMagic = 0x65735546;

bool holdsHoles(int fd) {
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0)
        return false;
    const auto type = static_cast<long>(info.f_type);
    return type != FatMagic && type != ExfatMagic && type != FuseMagic;
}

} // namespace

bool roomForCopy(const FolderHandle& targetFolder, const FileStatus& status) {
    struct statvfs space {};
    const std::optional<dev_t> device = targetFolder.device(); // known once per folder
    if (::fstatvfs(targetFolder.fd(), &space) != 0 || space.f_blocks == 0 || !device)
        return true; // a share that tells no sizes: the write itself will say
    std::int64_t needed = status.size;
    if (holdsHoles(targetFolder.fd()))
        needed = *device == status.device ? 0 : std::min(status.size, status.allocated);
    const auto free = static_cast<long double>(space.f_bavail) * space.f_frsize;
    return needed <= free;
}

namespace {

/// A clone the file systems refuse before doing anything: the next way copies instead.
bool cloneRefused(int err) {
    switch (err) {
    case EXDEV:      // two file systems
    case EOPNOTSUPP: // one that cannot share extents (ext4, tmpfs, FAT...)
    case ENOTTY:     // one that knows no such ioctl
    case EINVAL:     // the kernel's checks of the pair (or a file system's own)
    case ETXTBSY:    // a swap file
    case EPERM:      // some FUSE drivers, an immutable file
    case ENOSYS:
    case EBADF:
    case EISDIR:
        return true;
    default:
        return false;
    }
}

class Copier {
public:
    Copier(BlockFile& in, BlockFile& out, char* buffer, std::size_t blockSize,
           const std::function<void()>& afterBlock, bool kernel)
        : in_(in), out_(out), buffer_(buffer), block_(blockSize), afterBlock_(afterBlock),
          kernel_(kernel) {}

    CopyWay way = CopyWay::Blocks;
    bool cloneWasRefused = false; ///< the file systems would not share extents

    /// Shares the source's extents: true when done; false with `failed` set when the medium
    /// failed, with None when the file systems would not.
    bool clone(CopyEnd& failed);
    /// Copies from the current offsets of both files, `length` bytes or, when negative, up
    /// to the end of the source.
    CopyEnd range(std::int64_t length);
    /// Copies only the source's data, each range at its own offset, and gives the target
    /// the source's size, so that holes stay holes.
    CopyEnd sparse();

private:
    CopyEnd blocks(std::int64_t length);
    CopyEnd seekBoth(off_t offset);

    BlockFile& in_;
    BlockFile& out_;
    char* const buffer_;
    const std::size_t block_;
    const std::function<void()>& afterBlock_;
    bool kernel_; ///< copy_file_range may still be tried
};

bool Copier::clone(CopyEnd& failed) {
    failed = CopyEnd::None;
    int result;
    do {
        result = ::ioctl(out_.fd(), FICLONE, in_.fd());
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        way = CopyWay::Clone;
        afterBlock_();
        return true;
    }
    const int err = errno;
    if (cloneRefused(err)) {
        // a swap file or an immutable one refuses for itself alone, not for its file system
        cloneWasRefused = err != ETXTBSY && err != EPERM && err != EBADF && err != EISDIR;
        return false;
    }
    if (err == ENOSPC || err == EDQUOT || err == EIO || err == EROFS) {
        // one file system holds both, so this is the medium's fault either way
        setPendingErrno(err);
        failed = CopyEnd::Target;
        return false;
    }
    // Anything else may have left part of a clone behind: start the next way on an empty file.
    if (::ftruncate(out_.fd(), 0) != 0) {
        setPendingErrno(errno);
        failed = CopyEnd::Target;
    }
    return false;
}

CopyEnd Copier::range(std::int64_t length) {
    std::int64_t left = length;
    const auto want = [&] {
        return length < 0 ? block_
                          : static_cast<std::size_t>(
                                std::min<std::int64_t>(static_cast<std::int64_t>(block_), left));
    };
    while (kernel_ && left != 0) {
        ssize_t done;
        do {
            done = ::copy_file_range(in_.fd(), nullptr, out_.fd(), nullptr, want(), 0);
        } while (done < 0 && errno == EINTR);
        if (done < 0) {
            // Refused (another file system, no support) or failed: the block copy does the
            // rest, and where the fault is real, its read or its write tells whose it is.
            kernel_ = false;
            break;
        }
        if (done == 0)
            break; // the end; the block copy's read confirms it (some file systems copy nothing)
        way = CopyWay::Kernel;
        if (length >= 0)
            left -= done;
        afterBlock_();
    }
    return left == 0 ? CopyEnd::None : blocks(left);
}

CopyEnd Copier::blocks(std::int64_t length) {
    std::int64_t left = length;
    while (left != 0) {
        const std::size_t want = length < 0 ? block_
                                            : static_cast<std::size_t>(std::min<std::int64_t>(
                                                  static_cast<std::int64_t>(block_), left));
        const std::int64_t got = in_.read(buffer_, want);
        if (got < 0)
            return CopyEnd::Source;
        if (got == 0)
            break;
        const std::int64_t put = out_.write(buffer_, static_cast<std::size_t>(got));
        if (put < 0)
            return CopyEnd::Target;
        if (put != got) {
            // Short: the rest says why (a file-size limit fails this file only); a regular
            // file that takes less again without an error is on a full medium.
            if (out_.write(buffer_ + put, static_cast<std::size_t>(got - put)) < 0)
                return CopyEnd::Target;
            setPendingIo(DiskFullCode);
            return CopyEnd::Target;
        }
        way = CopyWay::Blocks;
        if (length >= 0)
            left -= got;
        afterBlock_();
    }
    return CopyEnd::None;
}

CopyEnd Copier::seekBoth(off_t offset) {
    if (::lseek(in_.fd(), offset, SEEK_SET) < 0) {
        setPendingErrno(errno);
        return CopyEnd::Source;
    }
    if (::lseek(out_.fd(), offset, SEEK_SET) < 0) {
        setPendingErrno(errno);
        return CopyEnd::Target;
    }
    return CopyEnd::None;
}

CopyEnd Copier::sparse() {
    off_t at = 0;
    for (;;) {
        const off_t data = ::lseek(in_.fd(), at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // a hole from `at` to the end
            // the source's file system cannot tell its holes: the rest whole
            const CopyEnd end = seekBoth(at);
            return end != CopyEnd::None ? end : range(-1);
        }
        const off_t hole = ::lseek(in_.fd(), data, SEEK_HOLE);
        if (hole < 0) {
            const CopyEnd end = seekBoth(data);
            return end != CopyEnd::None ? end : range(-1);
        }
        if (const CopyEnd end = seekBoth(data); end != CopyEnd::None)
            return end;
        // short when the source shrank meanwhile: the next look finds its end
        if (const CopyEnd end = range(hole - data); end != CopyEnd::None)
            return end;
        at = hole;
    }
    const off_t size = ::lseek(in_.fd(), 0, SEEK_END);
    if (size < 0) {
        setPendingErrno(errno);
        return CopyEnd::Source;
    }
    // a trailing hole exists only as the size
    if (::ftruncate(out_.fd(), size) != 0) {
        setPendingErrno(errno);
        return CopyEnd::Target;
    }
    return CopyEnd::None;
}

} // namespace

DataCopyResult copyData(BlockFile& source, BlockFile& target, const FileStatus& status,
                        char* buffer, std::size_t blockSize,
                        const std::function<void()>& afterBlock, bool tryClone) {
    const bool hooked = writeHookSet();
    Copier copier(source, target, buffer, blockSize, afterBlock, !hooked);
    DataCopyResult result;
    if (hooked) {
        result.failed = copier.range(-1);
        result.way = copier.way;
        return result;
    }
    if (tryClone && status.size > 0) {
        if (copier.clone(result.failed)) {
            result.way = copier.way;
            return result;
        }
        result.cloneRefused = result.failed == CopyEnd::None && copier.cloneWasRefused;
    }
    if (result.failed == CopyEnd::None) {
        const bool sparse = status.allocated < status.size && holdsHoles(target.fd());
        result.failed = sparse ? copier.sparse() : copier.range(-1);
    }
    result.way = copier.way;
    return result;
}

SameBytes compareFiles(const FolderHandle& firstFolder, const std::string& first,
                       const FolderHandle& secondFolder, const std::string& second, char* buffer,
                       std::size_t bufferSize, const std::function<void()>& afterBlock) {
    BlockFile a(firstFolder.entryPath(first));
    BlockFile b(secondFolder.entryPath(second));
    if (!firstFolder.openRead(a, first) || !secondFolder.openRead(b, second))
        return SameBytes::Unknown;
    if (a.statusAtOpen().size != b.statusAtOpen().size)
        return SameBytes::No;
    const std::size_t half = bufferSize / 2;
    char* const other = buffer + half;
    for (;;) {
        const std::int64_t got = a.read(buffer, half);
        if (got < 0)
            return SameBytes::Unknown;
        // fill the same length from the second, which may come in shorter reads
        std::int64_t have = 0;
        while (have < got) {
            const std::int64_t more = b.read(other + have, static_cast<std::size_t>(got - have));
            if (more < 0)
                return SameBytes::Unknown;
            if (more == 0)
                return SameBytes::No;
            have += more;
        }
        if (got == 0) {
            char extra = 0;
            const std::int64_t left = b.read(&extra, 1);
            return left < 0 ? SameBytes::Unknown : (left == 0 ? SameBytes::Yes : SameBytes::No);
        }
        if (!std::equal(buffer, buffer + got, other))
            return SameBytes::No;
        afterBlock();
    }
}

} // namespace qm
