#include "attributes.h"

#include "io_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace qm {

std::int32_t attributeBitsOf(mode_t mode, std::string_view name) {
    std::int32_t bits = 0;
    if (S_ISDIR(mode))
        bits |= faDirectory;
    if (S_ISREG(mode))
        bits |= faArchive;
    if ((mode & S_IWUSR) == 0)
        bits |= faReadOnly;
    if (!name.empty() && name.front() == '.')
        bits |= faHidden;
    return bits;
}

namespace {

std::string_view lastComponent(const std::string& path) {
    std::string_view view(path);
    while (view.size() > 1 && view.back() == '/')
        view.remove_suffix(1);
    auto slash = view.find_last_of('/');
    return slash == std::string_view::npos ? view : view.substr(slash + 1);
}

/// chmod that never acts through a symbolic link; a link is left alone.
int changeMode(const std::string& path, mode_t mode) {
    if (::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    int err = errno;
    if (err == EOPNOTSUPP)
        return 0; // a link: links carry no permissions of their own
    return codeFromErrno(err, false, path);
}

} // namespace

Attributes readAttributes(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return {};
    Attributes result;
    result.bits = attributeBitsOf(st.st_mode, lastComponent(path));
    result.mode = st.st_mode & 07777;
    return result;
}

int setAttributes(const std::string& path, const Attributes& attributes) {
    if (!attributes.valid())
        return codeFromErrno(EINVAL); // never turn an unknown set into mode 0
    return changeMode(path, attributes.mode & 07777);
}

int setArchiveOnly(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return codeFromErrno(errno, false, path);
    if (S_ISLNK(st.st_mode))
        return 0;
    return changeMode(path, (st.st_mode & 07777) | S_IWUSR);
}

} // namespace qm
