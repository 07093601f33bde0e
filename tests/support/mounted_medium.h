#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <utility>

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
    /// Unmounts it and keeps its image, as a stick is pulled out; false when it stays.
    bool unmount();
    /// Mounts the image again where it was, as the stick comes back; false when it cannot.
    bool mountAgain();
    /// The FUSE driver's process that serves it (FAT32, exFAT); 0 when none is found.
    pid_t driverProcess() const;

private:
    /// Mounts the image made already; the command's output and status.
    std::pair<std::string, int> mountImage();
    Kind kind_;
    std::string image_;
    std::string mountPoint_;
    std::string loopDevice_;
    bool mounted_ = false;
    std::string why_;
};

/// A folder bind-mounted on another existing folder, unmounted again on destruction (lazily
/// where it is busy). Needs root, or at least the right to mount.
class BindMount {
public:
    BindMount(const std::string& folder, const std::string& mountPoint);
    ~BindMount();
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }

private:
    std::string mountPoint_;
    bool mounted_ = false;
    std::string why_;
};

/// True where a medium that cannot be mounted is a failure, not a reason to skip (CI=true).
bool mediaRequired();

/// In a test body: fails (CI=true) or skips, saying why, when `medium` is not mounted.
#define QM_REQUIRE_MOUNTED(medium)                                                                 \
    do {                                                                                           \
        if (!(medium).mounted()) {                                                                 \
            if (::qm::test::mediaRequired())                                                       \
                FAIL() << (medium).why();                                                          \
            GTEST_SKIP() << (medium).why();                                                        \
        }                                                                                          \
    } while (false)

/// Goes back to `folder` when it ends: the engine enters the target's folders, and a medium
/// cannot be unmounted while the process stands in it.
class ReturnToFolder {
public:
    explicit ReturnToFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}
    ~ReturnToFolder() { std::filesystem::current_path(folder_); }
    ReturnToFolder(const ReturnToFolder&) = delete;
    ReturnToFolder& operator=(const ReturnToFolder&) = delete;

private:
    std::filesystem::path folder_;
};

} // namespace qm::test
