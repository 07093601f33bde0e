#include "pending_io.h"

namespace qm {

namespace {
thread_local int pendingCode = 0;
} // namespace

void setPendingIo(int code) {
    if (code != 0)
        pendingCode = code;
}

int takeIoResult() {
    int code = pendingCode;
    pendingCode = 0;
    return code;
}

void ioCheck() {
    if (int code = takeIoResult(); code != 0)
        throw IoError(code);
}

} // namespace qm
