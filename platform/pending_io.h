#pragma once

#include "io_error.h"

namespace qm {

/// Stores a failure; a later failure replaces a pending one. Code 0 is ignored.
void setPendingIo(const IoFailure& failure);
/// A code that comes without an errno (the layer's own, a short write): it reaches the
/// whole medium.
void setPendingIo(int code);
/// The failure of the system call that just set errno, by the one errno table.
void setPendingErrno(int err, bool folderOperation = false, const std::string& path = {});

/// Reads the pending failure and clears it (code 0 = none).
IoFailure takeIoFailure();
/// Reads the pending I/O error code and clears it (0 = none).
int takeIoResult();

/// The I/O check: raises IoError for any pending code (and clears it).
void ioCheck(); // throw IoError
} // namespace qm
