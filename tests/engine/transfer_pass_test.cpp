#include "engine_fixture.h"
#include "file_bytes.h"
#include "format_settings.h"
#include "io_error.h"
#include "profile_file.h"
#include "temp_name.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {
namespace {

class TransferPassTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src/sub/deep");
        writeFile("src/a.txt", "alpha");
        writeFile("src/empty", "");
        writeFile("src/sub/b.bin", std::string(70000, 'b'));
        writeFile("src/sub/deep/c", "gamma");
        makeFolder("src/.git");
        writeFile("src/.git/config", "never copied");
        makeFolder("dst");
        setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
        preparePass(path("src"), path("dst"));
    }
    std::string now() const { return dateTimeText(clock.time, format); }
};

TEST_F(TransferPassTest, BackupLogsEveryStepAndASecondRunWritesNothing) {
    engine.transferPass();

    const std::string src = path("src"), dst = path("dst");
    ASSERT_EQ(view.log.size(), 14u) << ::testing::PrintToString(view.log);
    EXPECT_EQ(view.log[0], "START -> BackUP at " + now());
    EXPECT_EQ(view.log[1], " Source/Location -> " + src);
    EXPECT_EQ(view.log[2], " Target/Destination -> " + dst);
    EXPECT_EQ(view.log[3], " Left out (a hidden folder) -> " + src + "/.git");
    EXPECT_EQ(view.log[4], " Total Folders -> 2");
    EXPECT_EQ(view.log[5], " Folders constructed -> 2");
    EXPECT_EQ(view.logLinesStartingWith("   " + src).size(), 4u); // empty file included
    EXPECT_EQ(view.log[10], " Total Files   -> 4");
    EXPECT_EQ(view.log[11], " Files Updated -> 4");
    EXPECT_EQ(view.log[12], " Hidden Folders Left Out -> 1");
    EXPECT_EQ(view.log[13], "DONE! Docs ->   Total size 0 MB in 0 minutes 0 seconds at an "
                            "average of 0 KBytes/Sec");
    EXPECT_EQ(view.statuses.back(), view.log[13]);
    EXPECT_EQ(view.statuses.front(), "Scanning Folders...");
    EXPECT_NE(std::find(view.statuses.begin(), view.statuses.end(),
                        "Reconstructing folders..." + dst + "/sub/deep"),
              view.statuses.end());

    EXPECT_EQ(readFile(path("dst/a.txt")), "alpha");
    EXPECT_TRUE(exists("dst/empty"));
    EXPECT_EQ(readFile(path("dst/sub/b.bin")).size(), 70000u);
    EXPECT_EQ(readFile(path("dst/sub/deep/c")), "gamma");
    EXPECT_FALSE(exists("dst/.git"));
    EXPECT_TRUE(tempsIn("dst").empty());

    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_EQ(table.cell(ColLastRun, 1), now());
    EXPECT_NE(readFile(profileFilePath(startFolder)).find("Done"), std::string::npos);
    EXPECT_EQ(view.progress.back(), 100);
    EXPECT_EQ(state.ListBox1, (std::vector<std::string>{src, src + "/sub", src + "/sub/deep"}));
    EXPECT_EQ(state.ListBox2, (std::vector<std::string>{dst, dst + "/sub", dst + "/sub/deep"}));

    view.log.clear();
    view.pumps = 0;
    preparePass(src, dst);
    engine.transferPass();
    // unchanged files copy no blocks, yet the window is kept alive after each of them
    EXPECT_EQ(view.pumps, 2 + 4); // the scan's two subfolders, then four files
    EXPECT_EQ(view.log[4], " Total Folders -> 2");
    EXPECT_TRUE(view.logLinesStartingWith(" Folders constructed").empty());
    EXPECT_TRUE(view.logLinesStartingWith("   ").empty());
    EXPECT_EQ(view.log[5], " Total Files   -> 4");
    EXPECT_EQ(view.log[6], " Files Updated -> 0");
}

// A folder large enough to be read ahead on a second thread: every file decided by its own
// time and size, in the listing's order, as in a small one.
TEST_F(TransferPassTest, LargeFolderIsDecidedFileByFile) {
    makeFolder("src/many");
    makeFolder("dst/many");
    const int files = 900;
    for (int i = 0; i < files; ++i) {
        const std::string name = "many/f" + std::to_string(i);
        writeFile("src/" + name, "new " + std::to_string(i));
        setTime("src/" + name, 1700000000 + i);
        if (i % 3 == 0)
            continue; // missing in the target
        writeFile("dst/" + name, "old");
        setTime("dst/" + name, i % 3 == 1 ? 1600000000 : 1700000000 + i); // older, same
    }
    engine.transferPass();

    int copied = 0;
    for (int i = 0; i < files; ++i) {
        const std::string name = "dst/many/f" + std::to_string(i);
        const bool same = i % 3 == 2;
        EXPECT_EQ(readFile(path(name)), same ? "old" : "new " + std::to_string(i)) << name;
        copied += same ? 0 : 1;
    }
    EXPECT_EQ(state.FilesSeen, files + 4);
    EXPECT_EQ(state.FilesUpdated, copied + 4);
    EXPECT_EQ(view.progress.back(), 100);
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");

    // the lines come in the order the folder lists its files
    std::vector<std::string> listed;
    for (const auto& entry : std::filesystem::directory_iterator(path("src/many")))
        if (std::stoi(entry.path().filename().string().substr(1)) % 3 != 2)
            listed.push_back(entry.path().string());
    std::vector<std::string> logged;
    for (const std::string& line : view.logLinesStartingWith("   " + path("src/many/")))
        logged.push_back(line.substr(3, line.rfind(' ', line.size() - 12) - 3));
    EXPECT_EQ(logged, listed);
}

// The next folder's targets are read while this one is worked on; what was read only ever
// skips a file. A target made newer meanwhile is looked at again and left alone.
TEST_F(TransferPassTest, TargetChangedWhileTheFolderBeforeWasWorkedOnIsSeenAsItIsNow) {
    engine.transferPass();
    writeFile("src/sub/b.bin", "new b");
    setTime("src/sub/b.bin", 1700000200);
    setTime("dst/sub/b.bin", 1600000000);
    writeFile("src/sub/deep/c", "gamma 2");
    setTime("src/sub/deep/c", 1700000100);
    setTime("dst/sub/deep/c", 1700000000); // older when it is read ahead
    engine.setProbe([&](Engine::ProbePoint point, const std::string& at) {
        if (point == Engine::ProbePoint::BeforeOpen && at == path("src/sub/b.bin")) {
            writeFile("dst/sub/deep/c", "edited in the target");
            setTime("dst/sub/deep/c", 1800000000);
        }
    });
    preparePass(path("src"), path("dst"));
    engine.transferPass();

    EXPECT_EQ(readFile(path("dst/sub/b.bin")), "new b");
    EXPECT_EQ(readFile(path("dst/sub/deep/c")), "edited in the target");
    EXPECT_EQ(state.FilesUpdated, 1);
}

TEST_F(TransferPassTest, MarksTheRowBusyBeforeScanning) {
    struct Spy : RecordingView {
        using RecordingView::RecordingView;
        void repaintTable() override {
            if (table)
                seen = table->cell(ColStatus, 1);
            RecordingView::repaintTable();
        }
        ProfileTable* table = nullptr;
        std::string seen;
    } spy(state);
    spy.table = &table;
    Engine spied(table, spy, state, format, clock);
    spied.transferPass();
    EXPECT_EQ(spy.seen, "Busy");
    EXPECT_EQ(spy.statuses.front(), "Scanning Folders...");
}

TEST_F(TransferPassTest, SummaryUsesTheWholePassTimeAndEveryByteListed) {
    writeFile("src/a.txt", std::string(10485760 - 70000 - 5, 'x'));
    engine.transferPass();
    // Nothing is written now, yet the bytes still count.
    clock.script = {46363.5, 46363.5, 46363.501, 46363.501}; // each instant: text, then duration
    view.log.clear();
    preparePass(path("src"), path("dst"));
    engine.transferPass();
    EXPECT_TRUE(view.log.back().ends_with(
        "Total size 10 MB in 1 minutes 26 seconds at an average of 119 KBytes/Sec"))
        << view.log.back();
}

TEST_F(TransferPassTest, DurationsIgnoreTheLocalClockFallingBack) {
    // Daylight saving ends during the pass: local time goes back an hour, 86.4 s pass.
    struct FallingBack : Clock {
        mutable int reads = 0;
        mutable int ticks = 0;
        double now() const override { return reads++ == 0 ? 46363.1 : 46363.1 - 1.0 / 24; }
        double steadyNow() const override { return ticks++ == 0 ? 10.0 : 10.001; }
    } fallingBack;
    Engine local{table, view, state, format, fallingBack};
    writeFile("src/a.txt", std::string(10485760, 'x'));
    preparePass(path("src"), path("dst"));
    local.transferPass();
    EXPECT_TRUE(
        view.log.back().ends_with(" in 1 minutes 26 seconds at an average of 119 KBytes/Sec"))
        << view.log.back();
}

TEST_F(TransferPassTest, RootWithoutSubfoldersIntoExistingTarget) {
    makeFolder("flat");
    writeFile("flat/one", "1");
    preparePass(path("flat"), path("dst"));
    engine.transferPass();
    EXPECT_EQ(view.log[3], " Total Folders -> 0");
    EXPECT_TRUE(view.logLinesStartingWith(" Folders constructed").empty());
    EXPECT_EQ(readFile(path("dst/one")), "1");
}

TEST_F(TransferPassTest, TargetFolderThatIsALinkIsReplacedNotWrittenThrough) {
    makeFolder("elsewhere");
    ASSERT_EQ(::symlink(path("elsewhere").c_str(), path("dst/sub").c_str()), 0);
    engine.transferPass();
    struct stat st {};
    ASSERT_EQ(::lstat(path("dst/sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(exists("elsewhere/b.bin"));
    EXPECT_EQ(readFile(path("dst/sub/b.bin")).size(), 70000u);
}

TEST_F(TransferPassTest, TargetOfAnotherKindIsReplacedWhateverItsTime) {
    makeFolder("elsewhere");
    writeFile("elsewhere/kept", "not the backup's");
    ASSERT_EQ(::symlink(path("elsewhere/kept").c_str(), path("dst/a.txt").c_str()), 0);
    ASSERT_EQ(::mkfifo(path("dst/empty").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("a.txt", path("src/link").c_str()), 0);
    writeFile("dst/link", "a file where the source has a link");
    const std::time_t later = std::time(nullptr) + 3600;
    for (const char* newer : {"dst/a.txt", "dst/empty", "dst/link"})
        setTime(newer, later); // newer than the source: by time alone, "Already exists"
    engine.transferPass();

    struct stat st {};
    ASSERT_EQ(::lstat(path("dst/a.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(path("dst/a.txt")), "alpha");
    EXPECT_EQ(readFile(path("elsewhere/kept")), "not the backup's"); // never written through
    ASSERT_EQ(::lstat(path("dst/empty").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(::lstat(path("dst/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(view.questions.empty());
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 5").size(), 1u)
        << ::testing::PrintToString(view.log);

    // now of one kind, each is its copy
    view.log.clear();
    preparePass(path("src"), path("dst"));
    engine.transferPass();
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 0").size(), 1u)
        << ::testing::PrintToString(view.log);
}

TEST_F(TransferPassTest, ClashesInTheTargetAreNamedOnceAndEveryOtherFileIsCopied) {
    makeFolder("dst/a.txt/kept"); // a folder where a file goes
    makeFolder("dst/sub");
    writeFile("dst/sub/deep", "a file, not a folder"); // where a folder belongs
    engine.transferPass();

    const std::string dst = path("dst");
    EXPECT_EQ(view.logLinesStartingWith("   Error"),
              (std::vector<std::string>{"   Error 3 -> " + dst + "/sub/deep", // not made
                                        "   Error 5 -> " + dst + "/a.txt"}))
        << ::testing::PrintToString(view.log);
    EXPECT_TRUE(exists("dst/a.txt/kept"));
    EXPECT_EQ(readFile(path("dst/sub/deep")), "a file, not a folder");
    EXPECT_TRUE(exists("dst/empty"));
    EXPECT_EQ(readFile(path("dst/sub/b.bin")).size(), 70000u);
    EXPECT_EQ(view.logLinesStartingWith(" Total Files   -> 4").size(), 1u);
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 2").size(), 1u);
    // the file below the folder that could not be made counts, though it is not tried
    EXPECT_EQ(view.logLinesStartingWith(" Files Failed  -> 2").size(), 1u);
    EXPECT_TRUE(view.log.back().starts_with("DONE! Docs"));
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_TRUE(tempsIn("dst").empty());
    EXPECT_TRUE(tempsIn("dst/sub").empty());
}

TEST_F(TransferPassTest, RenameThatClashesInABatchIsTakenBackAndTheRestArePutInPlace) {
    // A folder appears where a.txt goes after its copy was made but before the batch's
    // renames: the one file fails, the others of the batch still land.
    struct Meddler : RecordingView {
        using RecordingView::RecordingView;
        void appendLog(const std::string& line) override {
            RecordingView::appendLog(line);
            // logged as written: its copy waits in the batch for the rename
            if (!made && line.starts_with(written))
                made = ::mkdir(folder.c_str(), 0755) == 0;
        }
        std::string written, folder;
        bool made = false;
    } meddler(state);
    meddler.written = "   " + path("src/a.txt") + " ";
    meddler.folder = path("dst/a.txt");
    Engine engine2(table, meddler, state, format, clock);
    engine2.transferPass();

    ASSERT_TRUE(meddler.made);
    const auto written = std::find_if(meddler.log.begin(), meddler.log.end(), [&](auto& line) {
        return line.starts_with("   " + path("src/a.txt") + " ");
    });
    const auto failed =
        std::find(meddler.log.begin(), meddler.log.end(), "   Error 5 -> " + path("dst/a.txt"));
    ASSERT_NE(written, meddler.log.end());
    ASSERT_NE(failed, meddler.log.end());
    EXPECT_LT(written, failed);
    EXPECT_EQ(meddler.logLinesStartingWith(" Files Updated -> 3").size(), 1u);
    EXPECT_EQ(readFile(path("dst/sub/deep/c")), "gamma");
    EXPECT_EQ(readFile(path("dst/sub/b.bin")).size(), 70000u);
    EXPECT_EQ(meddler.logLinesStartingWith(" Files Failed  -> 1").size(), 1u);
    EXPECT_TRUE(tempsIn("dst").empty());
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
}

TEST_F(TransferPassTest, ReadOnlyMediumStillEndsThePass) {
    if (::mount("tmpfs", path("dst").c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{path("dst")};
    // Once with folders to make, once with only files to write.
    for (bool withFolders : {false, true}) {
        SCOPED_TRACE(withFolders ? "folders present" : "folders missing");
        if (withFolders) {
            ASSERT_EQ(::mount(nullptr, path("dst").c_str(), nullptr, MS_REMOUNT, "size=1m"), 0);
            makeFolder("dst/sub/deep");
        }
        ASSERT_EQ(::mount(nullptr, path("dst").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=1m"),
                  0);
        preparePass(path("src"), path("dst"));
        try {
            engine.transferPass();
            ADD_FAILURE() << "no error raised";
        } catch (const IoError& error) {
            EXPECT_EQ(error.code(), 19);
        }
        EXPECT_EQ(table.cell(ColStatus, 1), "Busy"); // the profile run records the error
    }
}

TEST_F(TransferPassTest, SpecialFilesAreSkippedWithALine) {
    ASSERT_EQ(::mkfifo(path("src/sub/pipe").c_str(), 0600), 0);
    engine.transferPass();
    EXPECT_EQ(view.logLinesStartingWith("   Skipped").size(), 1u);
    EXPECT_FALSE(exists("dst/sub/pipe"));
    EXPECT_EQ(view.logLinesStartingWith(" Total Files   -> 4").size(), 1u);
}

} // namespace
} // namespace qm::test
