#pragma once

#include <string>

namespace qm::test {

/// A small medium made in an image file and mounted, unmounted again on destruction: FAT32
/// and exFAT the way a USB stick is mounted here (through FUSE), btrfs and XFS (sparse
/// images, a few hundred MiB that cost nothing) by the kernel's own drivers. Needs root and,
/// for FAT32 and exFAT, /dev/fuse; all but FAT32 take a loop device.
class MountedMedium {
public:
    enum class Kind { Fat32, Exfat, Btrfs, Xfs };

    /// Makes `image` and mounts it on the existing folder `mountPoint`; see mounted().
    MountedMedium(Kind kind, const std::string& image, const std::string& mountPoint);
    ~MountedMedium();
    MountedMedium(const MountedMedium&) = delete;
    MountedMedium& operator=(const MountedMedium&) = delete;

    bool mounted() const { return mounted_; }
    /// Why it is not mounted.
    const std::string& why() const { return why_; }

private:
    std::string mountPoint_;
    std::string loopDevice_;
    bool mounted_ = false;
    std::string why_;
};

/// True where a medium that cannot be mounted is a failure, not a reason to skip (CI=true).
bool mediaRequired();

} // namespace qm::test
