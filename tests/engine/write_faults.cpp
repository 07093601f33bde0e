#include "write_faults.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace qm::test {
namespace {

std::string faultedPart;

bool isTemporary(int fd) {
    char target[4096];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    std::string file(target, static_cast<std::size_t>(n));
    // a named temporary, or one without a name yet ("<folder>/#<inode> (deleted)")
    const bool named = file.find("/.quillmark-") != std::string::npos;
    const bool unnamed = file.find("/#") != std::string::npos && file.ends_with(" (deleted)");
    return (named || unnamed) && file.find(faultedPart) != std::string::npos;
}

} // namespace

void faultOnlyPathsContaining(const std::string& part) {
    faultedPart = part;
}

ssize_t diskFullOnTemps(int fd, const void* buffer, std::size_t count) {
    if (isTemporary(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, buffer, count);
}

ssize_t failingMediumOnTemps(int fd, const void* buffer, std::size_t count) {
    if (isTemporary(fd)) {
        errno = EIO;
        return -1;
    }
    return ::write(fd, buffer, count);
}

ssize_t shortWriteOnTemps(int fd, const void* buffer, std::size_t count) {
    if (isTemporary(fd) && count > 1)
        return ::write(fd, buffer, count / 2);
    return ::write(fd, buffer, count);
}

} // namespace qm::test
