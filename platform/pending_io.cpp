#include "pending_io.h"

namespace qm {

namespace {
thread_local IoFailure pending;
} // namespace

void setPendingIo(const IoFailure& failure) {
    if (failure.code != 0)
        pending = failure;
}

void setPendingIo(int code) {
    setPendingIo(IoFailure{code, FailureReach::Medium});
}

void setPendingErrno(int err, bool folderOperation, const std::string& path) {
    setPendingIo(failureFromErrno(err, folderOperation, path));
}

IoFailure takeIoFailure() {
    IoFailure failure = pending;
    pending = IoFailure{};
    return failure;
}

int takeIoResult() {
    return takeIoFailure().code;
}

void ioCheck() {
    if (int code = takeIoResult(); code != 0)
        throw IoError(code);
}

} // namespace qm
