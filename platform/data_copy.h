#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace qm {

class BlockFile;
struct FileStatus;
class FolderHandle;

/// The way the last bytes of a copy went.
enum class CopyWay {
    Clone,  ///< the target shares the source's extents (one file system that can)
    Kernel, ///< copy_file_range: the kernel moves the bytes, none pass through the buffer
    Blocks, ///< one read and one write call a block through the caller's buffer
};

/// Which end of a copy failed; the failure is left pending (takeIoFailure).
enum class CopyEnd { None, Source, Target };

struct DataCopyResult {
    CopyEnd failed = CopyEnd::None;
    CopyWay way = CopyWay::Blocks;
    /// The two file systems would not share extents: a caller may skip the clone for the
    /// next copy between them (`tryClone`).
    bool cloneRefused = false;
};

/// Copies every byte of `source` (open for reading, at its start; `status` is its fstat)
/// into `target`, new, empty and open for writing, the fastest way the two file systems
/// allow: a clone where they share extents, else the kernel's copy, else blocks of
/// `blockSize` through `buffer`. Holes of a sparse source stay holes where the target can
/// hold them. Reads up to the end of the file as it is now (a source that shrank or grew
/// since `status` is copied as found). `afterBlock` runs after every block or chunk that
/// moved bytes and may throw to stop the copy. While a write hook is set (setWriteHook)
/// every byte goes by blocks, as that hook sees it.
/// A write that comes up short and then succeeds leaves 112 (a full medium) pending.
DataCopyResult copyData(BlockFile& source, BlockFile& target, const FileStatus& status,
                        char* buffer, std::size_t blockSize,
                        const std::function<void()>& afterBlock, bool tryClone = true);

/// False only where `targetFolder` surely has no room for a copy of the file of `status`:
/// the bytes the copy would take there (all of them on a medium written whole, the source's
/// allocated ones elsewhere; none on the source's own file system, which may clone) exceed
/// the space free to this user. True when the medium cannot say.
bool roomForCopy(const FolderHandle& targetFolder, const FileStatus& status);

/// Whether two files hold the same bytes.
enum class SameBytes { Yes, No, Unknown };

/// Compares the regular file `first` in `firstFolder` with `second` in `secondFolder`, byte
/// for byte, through `buffer` (halved between the two); no link is followed. Unknown, with
/// the code pending, when either cannot be opened or read. `afterBlock` as for copyData.
SameBytes compareFiles(const FolderHandle& firstFolder, const std::string& first,
                       const FolderHandle& secondFolder, const std::string& second, char* buffer,
                       std::size_t bufferSize, const std::function<void()>& afterBlock);

} // namespace qm
