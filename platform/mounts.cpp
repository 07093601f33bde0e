#include "mounts.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace qm {

namespace {

/// The kernel writes space, tab, newline and backslash in names as "\ooo".
std::string unescape(const std::string& field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

} // namespace

std::vector<MountEntry> blockDeviceMounts(const std::string& mountinfo) {
    std::vector<MountEntry> mounts;
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        // id parent major:minor root mount-point options [optional...] - type source ...
        const auto dash = std::find(words.begin(), words.end(), "-");
        if (words.size() < 5 || dash == words.end() || dash - words.begin() < 6 ||
            words.end() - dash < 3)
            continue;
        MountEntry entry{unescape(words[4]), unescape(*(dash + 2)), unescape(*(dash + 1))};
        if (!entry.source.starts_with("/dev/") || entry.mountPoint.empty() ||
            entry.mountPoint.front() != '/')
            continue;
        const bool seen = std::any_of(mounts.begin(), mounts.end(), [&](const MountEntry& m) {
            return m.mountPoint == entry.mountPoint;
        });
        if (!seen)
            mounts.push_back(std::move(entry));
    }
    return mounts;
}

std::string readMountInfo() {
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

} // namespace qm
