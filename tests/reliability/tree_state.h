#pragma once

#include <ctime>
#include <map>
#include <random>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qm::test {

/// What a backup must carry over for one file: bytes, modification time and permissions.
struct FileState {
    std::string bytes;
    timespec mtime{};
    mode_t mode = 0;

    bool operator==(const FileState& other) const {
        return bytes == other.bytes && mtime.tv_sec == other.mtime.tv_sec &&
               mtime.tv_nsec == other.mtime.tv_nsec && mode == other.mode;
    }
};

/// Regular files of a tree by path relative to its root.
using TreeState = std::map<std::string, FileState>;

/// Reads every regular file below `root`; names of engine temporaries go to `temps`.
TreeState snapshot(const std::string& root, std::vector<std::string>* temps = nullptr);

/// "a/b: bytes differ" style description of where two states part, empty when equal.
std::string describeDifference(const TreeState& want, const TreeState& got);

/// Writes a file with the given time (seconds, nanoseconds) and permissions, creating
/// folders on the way.
void putFile(const std::string& root, const std::string& relative, const FileState& state);

/// Builds a tree of files of many sizes, several larger than one 512 KiB copy block.
class TreeMaker {
public:
    explicit TreeMaker(std::uint64_t seed) : rng_(seed) {}

    /// A fresh tree of about `files` files in a few folders.
    TreeState make(int files);
    /// Rewrites some files with new bytes and a later time and adds a few; never deletes.
    void mutate(TreeState& tree, int changes);
    std::string randomBytes(std::size_t size);
    std::size_t pick(std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng_);
    }

private:
    std::size_t randomSize();
    std::mt19937_64 rng_;
    int serial_ = 0;
};

} // namespace qm::test
