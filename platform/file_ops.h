#pragma once

#include "listing.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace qm {

// Path operations that never follow a final symbolic link. Failures leave the error code
// pending like every other file operation.

/// What lstat says about a path; links are not followed.
struct PathStatus {
    EntryKind kind = EntryKind::File;
    timespec mtime{};
    std::uint32_t mode = 0; ///< st_mode & 07777
    std::int64_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
    timespec ctime{}; ///< moves with every change of the entry, even one that keeps mtime
    /// The same entry, unchanged: device, inode, kind, size, modification and change time.
    bool sameEntryAs(const PathStatus& other) const;
};

/// Two looks at one path saw the same thing: both absent, or the same unchanged entry.
bool sameEntry(const std::optional<PathStatus>& a, const std::optional<PathStatus>& b);

/// The current time as the file system stamps a change (CLOCK_REALTIME).
timespec currentFileTime();

/// lstat of a path; none when it cannot be queried. Nothing pending.
std::optional<PathStatus> statPath(const std::string& path);

/// stat of a path, links followed (a root the user chose through a link); none when it
/// cannot be queried. Nothing pending.
std::optional<PathStatus> statFollowed(const std::string& path);
/// What a stat call filled in, as a PathStatus (folders have size 0).
PathStatus pathStatusOf(const struct stat& st);

/// Writes out every file system that holds one of these open files (syncfs, once per
/// device) and waits for it; nothing is opened again. False with code pending when a
/// write-out failed: the kernel reports such a failure once, so it is never retried.
bool flushFileSystemsOf(const std::vector<int>& openFiles);

/// Test seam: replaces syncfs (nullptr restores it). Returns what syncfs(2) would.
using SyncHook = int (*)(int fd);
void setSyncHook(SyncHook hook);

} // namespace qm
