#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace qm {

/// DOS-style attribute bits as the program knows them.
enum AttributeBits : std::int32_t {
    faReadOnly = 0x01,
    faHidden = 0x02,
    faSysFile = 0x04,
    faVolumeID = 0x08,
    faDirectory = 0x10,
    faArchive = 0x20,
};

/// An attribute set together with the permission bits it carries on this platform.
struct Attributes {
    std::int32_t bits = -1; ///< -1 when the path could not be queried
    std::uint32_t mode = 0; ///< st_mode & 07777
    bool valid() const { return bits != -1; }
    bool operator==(const Attributes&) const = default;
};

/// The attribute bits of an entry with this st_mode and name (as lstat reports it).
std::int32_t attributeBitsOf(mode_t mode, std::string_view name);

/// Reads a path's attributes (lstat); bits -1 when it cannot be queried. Nothing pending.
Attributes readAttributes(const std::string& path);

/// Gives the path exactly these permissions. Returns 0 or the error code; nothing pending.
/// Never follows a symbolic link.
int setAttributes(const std::string& path, const Attributes& attributes);

/// "Archive only": makes the file writable by its owner, changes nothing else. Returns 0 or code.
int setArchiveOnly(const std::string& path);

} // namespace qm
