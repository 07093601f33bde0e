#include "as_nobody.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {

bool dropToNobody() {
    if (::geteuid() != 0)
        return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(Nobody) == 0 && ::setuid(Nobody) == 0;
}

int runAsNobody(const std::function<int()>& check) {
    pid_t pid = ::fork();
    if (pid < 0)
        return 97;
    if (pid == 0) {
        if (!dropToNobody())
            ::_exit(99);
        ::_exit(check());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

namespace {

// Works with descriptors so that trees deeper than PATH_MAX are handed over too.
bool chownAt(int parent, const char* name) {
    bool ok = ::fchownat(parent, name, Nobody, Nobody, AT_SYMLINK_NOFOLLOW) == 0;
    struct stat info {};
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode))
        return ok;
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string child = entry->d_name;
        if (child != "." && child != "..")
            ok = chownAt(::dirfd(dir), child.c_str()) && ok;
    }
    ::closedir(dir);
    return ok;
}

} // namespace

bool chownTree(const std::string& path) {
    return chownAt(AT_FDCWD, path.c_str());
}

} // namespace qm::test
