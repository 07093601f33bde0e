#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

namespace qm::test {

/// A fresh folder under TMPDIR (or /tmp), removed with everything in it on destruction.
class TempFolder {
public:
    explicit TempFolder(const std::string& tag); // throw std::runtime_error
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

/// Removes a tree without following links, making folders writable on the way.
void removeTree(const std::string& path);

/// A fixture that owns a fresh temporary folder and restores the current directory.
class TempFolderTest : public ::testing::Test {
protected:
    explicit TempFolderTest(const std::string& tag = "test") : folder_(tag), root(folder_.path()) {}

    void SetUp() override { startDir = std::filesystem::current_path(); }
    // The folder itself goes with the fixture, after the current directory has left it.
    void TearDown() override { std::filesystem::current_path(startDir); }

    std::string path(const std::string& relative) const { return root + "/" + relative; }
    /// Writes `bytes` to `relative` in the folder and returns its full path.
    std::string writeFile(const std::string& relative, const std::string& bytes) const;

private:
    TempFolder folder_;

protected:
    std::string root;
    std::filesystem::path startDir;
};

} // namespace qm::test
