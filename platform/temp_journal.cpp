#include "temp_journal.h"

#include "folders.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qm {

namespace {

constexpr char JournalPrefix[] = "pending-";
constexpr char MakingPrefix[] = "making-"; ///< a journal not set up yet: records nothing

/// A name no other process picks: pid and random digits.
std::string uniquePart() {
    std::random_device random;
    const unsigned long long bits = (static_cast<unsigned long long>(random()) << 32) | random();
    char text[40];
    std::snprintf(text, sizeof text, "%d-%016llx", static_cast<int>(::getpid()), bits);
    return text;
}

/// The whole file, from its start.
bool readAll(int fd, std::string& bytes) {
    char block[65536];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bytes.append(block, static_cast<std::size_t>(got));
    }
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string tempJournalFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return joinPath(state, "quillmark");
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return joinPath(home, ".local/state/quillmark");
    return {};
}

TempJournal::TempJournal(const std::string& folder) {
    if (folder.empty())
        return;
    try {
        makeFolders(folder);
    } catch (const std::exception&) {
        return;
    }
    // Made under a name no recovery looks at, locked, then given its real name: a recovery
    // never finds it unlocked while it is being set up.
    const std::string unique = uniquePart();
    const std::string making = joinPath(folder, MakingPrefix + unique);
    const int fd = ::open(making.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_APPEND, 0600);
    if (fd < 0)
        return;
    path_ = joinPath(folder, JournalPrefix + unique);
    if (::flock(fd, LOCK_EX) != 0 || ::rename(making.c_str(), path_.c_str()) != 0) {
        ::unlink(making.c_str());
        ::close(fd);
        path_.clear();
        return;
    }
    fd_ = fd;
}

TempJournal::~TempJournal() {
    if (fd_ < 0)
        return;
    ::unlink(path_.c_str());
    ::close(fd_);
}

void TempJournal::record(const std::string& path) noexcept {
    if (fd_ < 0)
        return;
    // NUL-ended: a name may hold a line break, never a NUL
    std::string entry = path;
    entry.push_back('\0');
    // not through the test seam: its faults are meant for the copies
    ssize_t done;
    do {
        done = ::write(fd_, entry.data(), entry.size());
    } while (done < 0 && errno == EINTR);
}

void TempJournal::clear() noexcept {
    if (fd_ >= 0 && ::ftruncate(fd_, 0) != 0) {
        // the names stay recorded; a recovery finds them gone or removes only ours
    }
}

int TempJournal::recoverEnded(const std::string& folder, bool (*isOurs)(const std::string& name)) {
    if (folder.empty())
        return 0;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    std::vector<std::string> journals;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.starts_with(JournalPrefix) || name.starts_with(MakingPrefix))
            journals.push_back(joinPath(folder, name));
    }
    ::closedir(dir);

    int removed = 0;
    for (const std::string& journal : journals) {
        const int fd = ::open(journal.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        // locked: its run is still going (this process's own included)
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        std::string bytes;
        struct stat self {};
        if (::fstat(fd, &self) == 0 && S_ISREG(self.st_mode) && readAll(fd, bytes)) {
            std::size_t start = 0;
            for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos;
                 start = end + 1) {
                const std::string path = bytes.substr(start, end - start);
                struct stat st {};
                if (path.empty() || !isOurs(baseName(path)) || ::lstat(path.c_str(), &st) != 0)
                    continue;
                if ((S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && ::unlink(path.c_str()) == 0)
                    ++removed;
            }
            ::unlink(journal.c_str());
        }
        ::close(fd);
    }
    return removed;
}

} // namespace qm
