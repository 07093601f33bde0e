#pragma once

#include <cerrno>

namespace qm::test {

/// Entries every listing may still read before each read fails (see setReadDirHook).
inline int readsBeforeFailure = 0;

/// A ReadDirHook: lets readsBeforeFailure reads through, then fails each one with EIO.
inline bool failingReadDir() {
    if (readsBeforeFailure-- > 0)
        return true;
    errno = EIO;
    return false;
}

} // namespace qm::test
