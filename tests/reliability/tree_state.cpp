#include "tree_state.h"

#include "temp_name.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {

namespace {

void walk(const std::string& root, const std::string& relative, TreeState& tree,
          std::vector<std::string>* temps) {
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        const std::string full = root + "/" + rel;
        struct stat info {};
        if (::lstat(full.c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode)) {
            walk(root, rel, tree, temps);
        } else if (S_ISREG(info.st_mode)) {
            if (qm::isTempName(name)) {
                if (temps)
                    temps->push_back(rel);
                continue;
            }
            std::ifstream in(full, std::ios::binary);
            std::stringstream bytes;
            bytes << in.rdbuf();
            tree[rel] = FileState{bytes.str(), info.st_mtim, info.st_mode & 07777};
        }
    }
    ::closedir(dir);
}

void makeParents(const std::string& path) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0755);
}

} // namespace

TreeState snapshot(const std::string& root, std::vector<std::string>* temps) {
    TreeState tree;
    walk(root, "", tree, temps);
    return tree;
}

std::string describeDifference(const TreeState& want, const TreeState& got) {
    std::string text;
    for (const auto& [path, state] : want) {
        auto found = got.find(path);
        if (found == got.end())
            text += path + ": missing\n";
        else if (found->second.bytes != state.bytes)
            text += path + ": bytes differ (" + std::to_string(found->second.bytes.size()) +
                    " vs " + std::to_string(state.bytes.size()) + ")\n";
        else if (!(found->second == state))
            text += path + ": time or permissions differ\n";
    }
    for (const auto& [path, state] : got)
        if (!want.count(path))
            text += path + ": unexpected\n";
    return text;
}

void putFile(const std::string& root, const std::string& relative, const FileState& state) {
    const std::string path = root + "/" + relative;
    makeParents(path);
    ::chmod(path.c_str(), 0600); // an earlier read-only version must not stop the rewrite
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(state.bytes.data(), static_cast<std::streamsize>(state.bytes.size()));
        if (!out)
            throw std::runtime_error("cannot write " + path);
    }
    const timespec times[2] = {state.mtime, state.mtime};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::chmod(path.c_str(), state.mode) != 0)
        throw std::runtime_error("cannot set time or mode of " + path);
}

std::size_t TreeMaker::randomSize() {
    static const std::size_t sizes[] = {0,       1,          100,    4095,        65536,
                                        524287,  524288,     524289, 1048576 + 7, 1300000,
                                        2600001, 3 * 524288, 777,    12345,       200000};
    if (pick(4) == 0)
        return pick(300000);
    return sizes[pick(std::size(sizes))];
}

std::string TreeMaker::randomBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (i % 8 == 0)
            word = rng_();
        bytes[i] = static_cast<char>(word >> (8 * (i % 8)));
    }
    return bytes;
}

TreeState TreeMaker::make(int files) {
    static const char* folders[] = {"",        "docs/",        "docs/old/",
                                    "photos/", "photos/2026/", "code/src/"};
    TreeState tree;
    for (int i = 0; i < files; ++i) {
        const std::string path =
            std::string(folders[pick(std::size(folders))]) + "f" + std::to_string(serial_++);
        // Times between 2001 and 2033 with nanoseconds; modes mostly 0644, some read-only.
        const timespec mtime{static_cast<time_t>(1'000'000'000 + pick(1'000'000'000)),
                             static_cast<long>(pick(1'000'000'000))};
        const mode_t mode = pick(5) == 0 ? 0444 : (pick(4) == 0 ? 0600 : 0644);
        tree[path] = FileState{randomBytes(randomSize()), mtime, mode};
    }
    return tree;
}

void TreeMaker::mutate(TreeState& tree, int changes) {
    for (int i = 0; i < changes; ++i) {
        if (pick(5) == 0 || tree.empty()) {
            TreeState extra = make(1);
            tree.insert(extra.begin(), extra.end());
            continue;
        }
        auto it = tree.begin();
        std::advance(it, static_cast<long>(pick(tree.size())));
        // Later by more than the two-second grain of the stamps.
        it->second.mtime.tv_sec += 10 + static_cast<time_t>(pick(100000));
        it->second.mtime.tv_nsec = static_cast<long>(pick(1'000'000'000));
        it->second.bytes = randomBytes(randomSize());
    }
}

} // namespace qm::test
