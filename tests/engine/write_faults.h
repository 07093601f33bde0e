#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace qm::test {

// Write hooks that fault only the engine's temporaries, so the profile file still saves.

/// Only temporaries whose path holds this text are faulted (all when empty).
void faultOnlyPathsContaining(const std::string& part);

/// Fails every write into a temporary with ENOSPC.
ssize_t diskFullOnTemps(int fd, const void* buffer, std::size_t count);
/// Fails every write into a temporary with EIO, as a failing medium does.
ssize_t failingMediumOnTemps(int fd, const void* buffer, std::size_t count);
/// Writes half of what a temporary is given, without an error.
ssize_t shortWriteOnTemps(int fd, const void* buffer, std::size_t count);

} // namespace qm::test
