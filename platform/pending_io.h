#pragma once

#include "io_error.h"

namespace qm {

/// Stores a failure code; a later failure replaces a pending one. 0 is ignored.
void setPendingIo(int code);

/// Reads the pending I/O error code and clears it (0 = none).
int takeIoResult();

/// The I/O check: raises IoError for any pending code (and clears it).
void ioCheck(); // throw IoError
} // namespace qm
