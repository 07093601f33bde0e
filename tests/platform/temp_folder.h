#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

/// A fixture that owns a fresh temporary folder and restores the current directory.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qm-platform-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        startDir = std::filesystem::current_path();
    }

    void TearDown() override {
        std::filesystem::current_path(startDir);
        std::error_code ignored;
        // Read-only folders left by a test must not stop the clean-up.
        for (auto& entry : std::filesystem::recursive_directory_iterator(root, ignored))
            if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
                std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root, ignored);
    }

    std::string path(const std::string& name) const { return root + "/" + name; }

    std::string writeFile(const std::string& name, const std::string& bytes) const {
        std::string full = path(name);
        std::ofstream(full, std::ios::binary) << bytes;
        return full;
    }

    static std::string readFile(const std::string& full) {
        std::ifstream in(full, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string root;
    std::filesystem::path startDir;
};

/// Runs `check` in a child process that has dropped root (CI runs as root, and root
/// ignores permission bits). Returns the child's exit status; 0 means the check passed.
inline int runUnprivileged(const std::function<int()>& check) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(99);
        }
        ::_exit(check());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}
