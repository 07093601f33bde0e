#include "support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
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
    if (envNumber("QM_KEEP_TEMP", 0) == 0)
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

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::int64_t envNumber(const char* name, std::int64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    long long value = std::strtoll(text, &end, 10);
    return end && *end == '\0' ? value : fallback;
}

void recordFigure(const std::string& name, std::int64_t value) {
    std::printf("[figure] %s %lld\n", name.c_str(), static_cast<long long>(value));
    std::fflush(stdout);
    if (const char* file = std::getenv("QM_FIGURES_FILE"); file && *file) {
        if (std::FILE* out = std::fopen(file, "a")) {
            std::fprintf(out, "%s %lld\n", name.c_str(), static_cast<long long>(value));
            std::fclose(out);
        }
    }
}

} // namespace qm::test
