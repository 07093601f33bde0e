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

int codeFromErrno(int err, bool folderOperation, const std::string& path) {
    switch (err) {
    case 0:
        return 0;
    case ENOENT:
        if (folderOperation)
            return 3;
        if (!path.empty() && !parentFolderExists(path))
            return 3;
        return 2;
    case ENOTDIR:
        return 3;
    case EACCES:
    case EPERM:
    case EISDIR:
        return 5;
    case EMFILE:
    case ENFILE:
        return 4;
    case EBUSY:
    case ETXTBSY:
        return 32;
    case EEXIST:
        return 183;
    case EROFS:
        return 19;
    case ENOSPC:
    case EDQUOT:
        return 112;
    case EFBIG:
        return 223;
    case ENAMETOOLONG:
        return 206;
    case ELOOP:
        return 1921;
    case EIO:
        return 1117;
    default:
        return 31;
    }
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
