#include "io_error.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace qm {

IoError::IoError(int code) : RuntimeError(ioErrorMessage(code)), code_(code) {}

IoError::IoError(int code, const std::string& message) : RuntimeError(message), code_(code) {}

IoError::IoError(int code, const std::string& message, const std::string& path)
    : RuntimeError(message), code_(code), path_(path) {}

std::string ioErrorMessage(int code) {
    switch (code) {
    case 2:
        return "File not found";
    case 3:
        return "Invalid filename";
    case 4:
        return "Too many open files";
    case 5:
        return "File access denied";
    case 100:
        return "Read beyond end of file";
    case 101:
        return "Disk full";
    case 106:
        return "Invalid numeric input";
    case 1007:
        return "The name of a temporary file could not be written down";
    default:
        return "I/O error " + std::to_string(code);
    }
}

std::string ioErrorReason(int code) {
    switch (code) {
    case 2:
        return "The file does not exist.";
    case 3:
        return "The folder does not exist, or a part of the path is not a folder.";
    case 4:
        return "Too many files are open at once.";
    case 5:
        return "Access is denied: there is no permission to read or write here.";
    case 19:
        return "The medium is write-protected (mounted read-only).";
    case 32:
        return "The file is in use by another program.";
    case 112:
        return "There is not enough space left on the disk.";
    case 183:
        return "Something of that name exists already.";
    case 206:
        return "The name or the path is too long.";
    case 223:
        return "The file is too large for the target's file system.";
    case 1006:
        return "The file changed while it was being copied, twice; its earlier copy is kept.";
    case 1007:
        return "No journal took the name of a temporary, so it was not made: a run killed "
               "meanwhile would leave it behind. The run log says where and why.";
    case 1117:
        return "The device reported an input/output error: the medium may be failing.";
    case 1921:
        return "The path runs through too many symbolic links.";
    default:
        return "The system reported an unexpected error (code " + std::to_string(code) + ").";
    }
}

namespace {

/// True when the folder that would hold `path` exists.
bool parentFolderExists(const std::string& path) {
    auto slash = path.find_last_of('/');
    std::string parent;
    if (slash == std::string::npos)
        parent = ".";
    else if (slash == 0)
        parent = "/";
    else
        parent = path.substr(0, slash);
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

IoFailure failureFromErrno(int err, bool folderOperation, const std::string& path) {
    constexpr FailureReach here = FailureReach::ThisPath;
    constexpr FailureReach medium = FailureReach::Medium;
    switch (err) {
    case 0:
        return {0, here};
    case ENOENT: // something on the way vanished, or a name FUSE's exFAT refuses
        if (folderOperation || (!path.empty() && !parentFolderExists(path)))
            return {3, here};
        return {2, here};
    case ENOTDIR: // a file where a folder should be
        return {3, here};
    case EACCES:
    case EPERM: // also a name that FUSE's FAT refuses
    case EISDIR:
        return {5, here};
    case EMFILE:
    case ENFILE: // out of handles: every later open fails too
        return {4, medium};
    case EBUSY:
    case ETXTBSY: // a mount point or a running program in the way
        return {32, here};
    case EEXIST:
        return {183, here};
    case EROFS:
        return {19, medium};
    case ENOSPC:
    case EDQUOT:
        return {112, medium};
    case EFBIG: // larger than the medium takes (4 GiB on FAT32); smaller files still go
        return {223, here};
    case ENAMETOOLONG:
        return {206, here};
    case ELOOP:
        return {1921, here};
    case EIO:
        return {1117, medium};
    case EINVAL:  // a name the kernel's FAT and exFAT drivers refuse
    case EILSEQ:  // a name not in the medium's character set
    case ENOSYS:  // a link on a medium without links (FUSE)
    case ENOTSUP: // the same from a kernel driver
    case EMLINK:  // a folder that holds as many entries as it can
    case ENOTEMPTY:
    case EXDEV:
        return {31, here};
    default: // a medium gone (ENODEV, ENXIO, ENOTCONN), out of memory, unforeseen
        return {31, medium};
    }
}

int codeFromErrno(int err, bool folderOperation, const std::string& path) {
    return failureFromErrno(err, folderOperation, path).code;
}

std::string topLevelMessageText(const std::string& message) {
    const std::size_t lineEnd = message.find('\r');
    std::string first = message.substr(0, lineEnd);
    if (!first.empty() && static_cast<unsigned char>(first.back()) > '.')
        first += ".";
    return lineEnd == std::string::npos ? first : first + message.substr(lineEnd);
}

std::string errorText(const std::exception& error) {
    const auto* io = dynamic_cast<const IoError*>(&error);
    if (!io || io->path().empty())
        return error.what();
    return std::string(error.what()) + "\r" + io->path();
}

} // namespace qm
