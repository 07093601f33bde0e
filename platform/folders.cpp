#include "folders.h"

#include "io_error.h"
#include "pending_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qm {

std::string currentDirectory() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        int err = errno;
        if (err != ERANGE)
            throw IoError(codeFromErrno(err, true));
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

bool changeDirectory(const std::string& path) {
    if (::chdir(path.c_str()) != 0) {
        setPendingErrno(errno, true);
        return false;
    }
    return true;
}

bool createFolder(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0) {
        setPendingErrno(errno, true);
        return false;
    }
    return true;
}

bool folderExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void makeFolders(const std::string& path) {
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty() || folderExists(folder))
        return;
    const auto slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        makeFolders(folder.substr(0, slash));
    if (::mkdir(folder.c_str(), 0777) == 0)
        return;
    const int err = errno;
    if (err == EEXIST && folderExists(folder))
        return; // made meanwhile by somebody else
    const int code = codeFromErrno(err, true);
    throw IoError(code, "Unable to create directory. " + ioErrorReason(code), folder);
}

std::string resolvedPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return {};
    std::string result(resolved);
    std::free(resolved);
    return result;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    // one allocation: folder handles build the path of every file of a pass this way
    std::size_t end = folder.size();
    while (end > 0 && folder[end - 1] == '/')
        --end;
    const std::size_t start = std::min(name.find_first_not_of('/'), name.size());
    std::string result;
    result.reserve(end + 1 + name.size() - start);
    result.append(folder, 0, end).append(1, '/').append(name, start);
    return result;
}

} // namespace qm
