#pragma once

#include <string>
#include <vector>

namespace qm {

/// One line of the kernel's mount table.
struct MountEntry {
    std::string mountPoint;
    std::string source; ///< the device or what stands for it ("/dev/sda1", "tmpfs", ...)
    std::string fsType;
};

/// The mounts in `mountinfo` (the text of /proc/self/mountinfo) whose source is a block
/// device under /dev/, in the table's order, each mount point once. Octal escapes ("\040")
/// are decoded; malformed lines are skipped.
std::vector<MountEntry> blockDeviceMounts(const std::string& mountinfo);

/// The text of /proc/self/mountinfo; empty when it cannot be read. Reading it asks no
/// mount anything, so a stalled one cannot block the caller.
std::string readMountInfo();

} // namespace qm
