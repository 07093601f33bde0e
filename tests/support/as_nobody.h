#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace qm::test {

/// The unprivileged user and group the permission cases run as (CI runs as root, and root
/// ignores permission bits).
inline constexpr uid_t Nobody = 65534;

/// In a child process: leaves root for Nobody; true when not root to begin with.
bool dropToNobody();

/// Runs `check` in a child process that has dropped to Nobody. Returns the child's exit
/// status; 0 means the check passed, 97 no child, 98 killed, 99 root could not be dropped.
int runAsNobody(const std::function<int()>& check);

/// Gives a tree, links included and never followed, to Nobody; false on any failure.
bool chownTree(const std::string& path);

} // namespace qm::test
