#pragma once

#include <cstdint>
#include <string>

namespace qm::test {

/// A fresh folder under TMPDIR (or /tmp), removed with everything in it on destruction.
class TempFolder {
public:
    explicit TempFolder(const std::string& tag);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

/// Removes a tree without following links, making folders writable on the way.
void removeTree(const std::string& path);

std::string readFileBytes(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes);

/// An environment variable as a number, or `fallback`.
std::int64_t envNumber(const char* name, std::int64_t fallback);

/// Prints a figure and appends "name value" to $QM_FIGURES_FILE when set, so the long-mode
/// script can total them.
void recordFigure(const std::string& name, std::int64_t value);

} // namespace qm::test
