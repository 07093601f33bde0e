#include "engine_fixture.h"

#include "block_file.h"
#include "exact_time.h"
#include "pending_io.h"

#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace qm::test {

void EngineTest::SetUp() {
    TempFolderTest::SetUp();
    ::chmod(root.c_str(), 0755); // children dropped to nobody must reach the trees
    startFolder = path("start");
    makeFolder("start");
    state.StartFolder = startFolder;
    table.writeHeader();
    table.setRowCount(2);
    state.SelectedRow = 1;
    takeIoResult();
}

void EngineTest::TearDown() {
    setWriteHook(nullptr);
    takeIoResult();
    TempFolderTest::TearDown();
}

void EngineTest::makeFolder(const std::string& relative) const {
    fs::create_directories(path(relative));
}

void EngineTest::setTime(const std::string& relative, std::time_t seconds, long nanoseconds) const {
    ASSERT_TRUE(setFileTime(path(relative), {seconds, nanoseconds})) << relative;
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

} // namespace qm::test
