#include "engine_fixture.h"

#include "block_file.h"
#include "pending_io.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qm::test {

void EngineTest::SetUp() {
    char pattern[] = "/tmp/qm-engine-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    ::chmod(root.c_str(), 0755);
    startFolder = path("start");
    makeFolder("start");
    savedDirectory = fs::current_path();
    state.StartFolder = startFolder;
    table.writeHeader();
    table.setRowCount(2);
    state.SelectedRow = 1;
    takeIoResult();
}

void EngineTest::TearDown() {
    setWriteHook(nullptr);
    takeIoResult();
    fs::current_path(savedDirectory);
    std::error_code ignored;
    for (auto& entry : fs::recursive_directory_iterator(root, ignored))
        if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
}

std::string EngineTest::writeFile(const std::string& relative, const std::string& bytes) const {
    std::string full = path(relative);
    std::ofstream out(full, std::ios::binary);
    out << bytes;
    EXPECT_TRUE(out.good()) << "cannot write " << full;
    return full;
}

void EngineTest::makeFolder(const std::string& relative) const {
    fs::create_directories(path(relative));
}

void EngineTest::setTime(const std::string& relative, std::time_t seconds, long nanoseconds) const {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path(relative).c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
        << relative;
}

std::string EngineTest::readFile(const std::string& full) {
    std::ifstream in(full, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool EngineTest::exists(const std::string& relative) const {
    struct stat st {};
    return ::lstat(path(relative).c_str(), &st) == 0;
}

std::vector<std::string> EngineTest::tempsIn(const std::string& relative) const {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(path(relative))) {
        std::string name = entry.path().filename().string();
        if (name.starts_with(".quillmark-"))
            names.push_back(name);
    }
    return names;
}

void EngineTest::setProfile(int row, const std::string& type, const std::string& name,
                            const std::string& source, const std::string& target,
                            const std::string& options) {
    if (table.RowCount() <= row)
        table.setRowCount(row + 1);
    table.setCell(ColType, row, type);
    table.setCell(ColName, row, name);
    table.setCell(ColSource, row, source);
    table.setCell(ColTarget, row, target);
    table.setCell(ColLastRun, row, "");
    table.setCell(ColStatus, row, "");
    table.setCell(ColOptions, row, options);
}

void EngineTest::preparePass(const std::string& source, const std::string& target, int row) {
    state.SourceFolder = source;
    state.TargetFolder = target;
    state.SelectedRow = row;
    state.FilesSeen = 0;
    state.FilesUpdated = 0;
}

int runUnprivileged(const std::function<int()>& check) {
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

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

} // namespace qm::test
