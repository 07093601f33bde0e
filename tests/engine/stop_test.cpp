#include "engine_fixture.h"
#include "file_bytes.h"
#include "profile_file.h"

namespace qm::test {
namespace {

/// Asks to stop once the first file has been copied, as the window does after the user
/// agreed to quit.
class StoppingView : public RecordingView {
public:
    using RecordingView::RecordingView;
    bool stopRequested() override {
        for (const std::string& line : log)
            if (line.ends_with(" KBytes/Sec"))
                return true;
        return false;
    }
};

class StopTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src");
        writeFile("src/one", "first file");
        writeFile("src/two", "second file");
        makeFolder("dst");
        makeFolder("dst2");
        setProfile(1, "BackUP", "First", path("src"), path("dst"));
        setProfile(2, "BackUP", "Second", path("src"), path("dst2"));
        table.setCell(ColStatus, 2, "Pending");
        table.setCell(ColLastRun, 2, "NEVER");
        state.SelectedRow = 1;
    }
    StoppingView stopping{state};
    Engine stoppable{table, stopping, state, format, clock};
};

TEST_F(StopTest, AStoppedRunKeepsFinishedCopiesAndEndsAsAnError) {
    stoppable.runAll();
    const int copied = exists("dst/one") + exists("dst/two");
    EXPECT_EQ(copied, 1); // the one finished before the stop, and only that one
    EXPECT_TRUE(tempsIn("dst").empty());
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_EQ(table.cell(ColLastRun, 1), dateTimeText(clock.time, format));
    EXPECT_EQ(stopping.logLinesStartingWith("STOPPED"),
              std::vector<std::string>{"STOPPED -> the run was stopped by the user"});
    EXPECT_EQ(stopping.topLevelErrors, std::vector<std::string>{"The run was stopped by the user"});
    // Run all ends there: the second profile never starts.
    EXPECT_EQ(stopping.logLinesStartingWith("PROFILE -> "),
              std::vector<std::string>{"PROFILE -> First"});
    EXPECT_EQ(table.cell(ColStatus, 2), "Pending");
    EXPECT_EQ(table.cell(ColLastRun, 2), "NEVER");
    EXPECT_FALSE(exists("dst2/one") || exists("dst2/two"));
    EXPECT_EQ(state.busyFlag, 0);
    EXPECT_EQ(state.runAllFlag, 0);
    EXPECT_NE(readFile(profileFilePath(startFolder)).find("ERROR"), std::string::npos);
}

} // namespace
} // namespace qm::test
