#include "temp_folder.h"

#include "file_bytes.h"

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {

TempFolder::TempFolder(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qm-" + tag + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
}

TempFolder::~TempFolder() {
    // QM_KEEP_TEMP=1 keeps the trees of a failing case for a look.
    const char* keep = std::getenv("QM_KEEP_TEMP");
    if (!keep || std::atoll(keep) == 0)
        removeTree(path_);
}

namespace {

// Works with descriptors so that paths longer than PATH_MAX can be removed too.
void removeAt(int parent, const char* name) {
    struct stat info {};
    if (::fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (S_ISDIR(info.st_mode)) {
        ::fchmodat(parent, name, 0700, 0);
        int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            if (DIR* dir = ::fdopendir(fd)) {
                while (dirent* entry = ::readdir(dir)) {
                    std::string child = entry->d_name;
                    if (child != "." && child != "..")
                        removeAt(::dirfd(dir), child.c_str());
                }
                ::closedir(dir);
            } else {
                ::close(fd);
            }
        }
        ::unlinkat(parent, name, AT_REMOVEDIR);
    } else {
        ::unlinkat(parent, name, 0);
    }
}

} // namespace

void removeTree(const std::string& path) {
    removeAt(AT_FDCWD, path.c_str());
}

std::string TempFolderTest::writeFile(const std::string& relative, const std::string& bytes) const {
    std::string full = path(relative);
    qm::test::writeFile(full, bytes);
    return full;
}

} // namespace qm::test
