#include "as_nobody.h"
#include "block_file.h"
#include "engine_fixture.h"
#include "file_bytes.h"
#include "format_settings.h"
#include "profile_file.h"
#include "shell.h"
#include "temp_name.h"
#include "write_faults.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {
namespace {

const std::string TargetBox = "Target/Destination drive and folder cannot be accessed..!\r\r"
                              "Please check the drive/folder and ensure it is accessible!";
const std::string SourceBox = "Source/Location drive and folder cannot be accessed..!\r\r"
                              "Please check the drive/folder and ensure it is accessible!";
const std::string Advice =
    "             Please check the drive/folder and ensure it is accessible.";

class ProfileRunTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src/sub");
        writeFile("src/a", "from source");
        writeFile("src/sub/b", "also from source");
        makeFolder("dst");
    }
    std::string savedTable() const { return readFile(profileFilePath(startFolder)); }
    std::string now() const { return dateTimeText(clock.time, format); }

    /// Runs the selected profile and checks what every run restores.
    void run() {
        view.onControls = [this](bool enabled) { EXPECT_EQ(state.busyFlag, enabled ? 0 : 1); };
        engine.runProfile();
        EXPECT_EQ(state.busyFlag, 0);
        ASSERT_GE(view.controlsEnabled.size(), 2u);
        EXPECT_FALSE(view.controlsEnabled.end()[-2]);
        EXPECT_TRUE(view.controlsEnabled.back());
        EXPECT_EQ(view.selectedCells.back(), (std::pair<int, int>{1, 1}));
        EXPECT_EQ(state.SelectedRow, 1);
    }
};

TEST_F(ProfileRunTest, BackupRunsOnePassAndSavesTheRow) {
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    view.log = {"from an earlier run"};
    run();
    EXPECT_EQ(view.logClears, 1);
    EXPECT_EQ(view.log[0], "PROFILE -> Docs");
    EXPECT_EQ(view.log[1], "START -> BackUP at " + now());
    EXPECT_EQ(view.logLinesStartingWith("START").size(), 1u);
    EXPECT_EQ(readFile(path("dst/sub/b")), "also from source");
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_NE(savedTable().find("Done"), std::string::npos);
    // the last target folder the pass could enter (sub was made, not entered)
    EXPECT_EQ(std::filesystem::current_path(), path("dst"));
    EXPECT_TRUE(view.topLevelErrors.empty());
}

TEST_F(ProfileRunTest, SynchronisationRunsBothWaysAndCarriesTheCounters) {
    writeFile("dst/onlyInTarget", "from target");
    for (const char* type : {"Syncro", "backup"}) { // only "BackUP" exactly is a backup
        setProfile(1, type, "Mirror", path("src"), path("dst"), "NPAODF");
        view.log.clear();
        run();
        EXPECT_EQ(view.logLinesStartingWith("START -> " + std::string(type)).size(), 2u);
        EXPECT_EQ(view.logLinesStartingWith("Sync Phase -> Mirror").size(), 1u);
        EXPECT_EQ(view.logLinesStartingWith(" Source/Location -> ")[1],
                  " Source/Location -> " + path("dst"));
    }
    EXPECT_EQ(readFile(path("src/onlyInTarget")), "from target");
    EXPECT_EQ(readFile(path("dst/a")), "from source");

    // Pass 1 sees three files, pass 2 four more; only "late" is new.
    setProfile(1, "Syncro", "Mirror", path("src"), path("dst"));
    writeFile("dst/late", "x");
    view.log.clear();
    run();
    EXPECT_EQ(view.logLinesStartingWith(" Total Files   -> "),
              (std::vector<std::string>{" Total Files   -> 3", " Total Files   -> 7"}));
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> "),
              (std::vector<std::string>{" Files Updated -> 0", " Files Updated -> 1"}));
    // no datestamped folder for a synchronisation
    for (auto& entry : std::filesystem::directory_iterator(path("dst")))
        EXPECT_FALSE(entry.path().filename().string().starts_with(computerName()));
}

TEST_F(ProfileRunTest, DatestampedFolderIsMadeOncePerDay) {
    format.shortDateFormat = "dd/mm/yyyy";
    EXPECT_EQ(engine.DateStampText(), "07122026");
    EXPECT_EQ(engine.GetComputerNameText(), computerName().substr(0, 30));

    setProfile(1, "BackUP", "Daily", path("src"), path("dst"), "NPAODF");
    run();
    const std::string folder = "dst/" + engine.GetComputerNameText() + "07122026";
    EXPECT_EQ(readFile(path(folder + "/a")), "from source");
    EXPECT_EQ(state.TargetFolder, path(folder));

    view.log.clear();
    run();
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> "),
              std::vector<std::string>{" Files Updated -> 0"});

    format.shortDateFormat = "dd.mm.yyyy";
    EXPECT_EQ(engine.DateStampText(), "07.12.2026");
}

TEST_F(ProfileRunTest, UnreachableTargetIsReportedOnceAndMarksTheRow) {
    setProfile(1, "BackUP", "Lost", path("nowhere"), path("gone"), "NPAODF");
    run();
    EXPECT_EQ(view.errorBoxes, std::vector<std::string>{TargetBox});
    EXPECT_EQ(view.log,
              (std::vector<std::string>{
                  "PROFILE -> Lost",
                  "ERROR: Target/Destination drive and folder cannot be accessed..!", Advice}));
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_EQ(table.cell(ColLastRun, 1), now());
    EXPECT_NE(savedTable().find("ERROR"), std::string::npos);
    EXPECT_EQ(std::filesystem::current_path(), startFolder);
}

TEST_F(ProfileRunTest, UnreachableSourceStillGetsItsDatestampedFolder) {
    setProfile(1, "BackUP", "Lost", path("nowhere"), path("dst"), "NPAODF");
    run();
    EXPECT_EQ(view.errorBoxes, std::vector<std::string>{SourceBox});
    EXPECT_EQ(view.log,
              (std::vector<std::string>{
                  "PROFILE -> Lost",
                  "ERROR: Source/Location drive and folder cannot be accessed..!", Advice}));
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_TRUE(exists("dst/" + engine.GetComputerNameText() + engine.DateStampText()));

    setProfile(1, "Syncro", "Lost", path("nowhere"), path("dst"));
    view.log.clear();
    run();
    EXPECT_TRUE(view.logLinesStartingWith("START").empty());
    EXPECT_EQ(view.errorBoxes.size(), 2u);
}

TEST_F(ProfileRunTest, RunAllSeparatesProfilesAndGoesOnAfterFailures) {
    makeFolder("dst2");
    makeFolder("dst3");
    writeFile("dst3/a", "previous good copy");
    setProfile(1, "BackUP", "One", path("src"), path("dst"));
    setProfile(2, "BackUP", "Two", path("src"), path("missing"));
    setProfile(3, "BackUP", "Three", path("src"), path("dst3"));
    setProfile(4, "BackUP", "Four", path("src"), path("dst2"));
    // The third profile meets a full disk.
    faultOnlyPathsContaining("/dst3/");
    setWriteHook(&diskFullOnTemps);
    view.log = {"old"};

    engine.runAll();

    EXPECT_EQ(view.logClears, 1);
    EXPECT_EQ(std::count(view.log.begin(), view.log.end(), "-"), 4);
    EXPECT_EQ(view.log.back(), "-");
    EXPECT_EQ(view.logLinesStartingWith("PROFILE -> "),
              (std::vector<std::string>{"PROFILE -> One", "PROFILE -> Two", "PROFILE -> Three",
                                        "PROFILE -> Four"}));
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_EQ(table.cell(ColStatus, 2), "ERROR");
    EXPECT_EQ(table.cell(ColStatus, 3), "ERROR");
    EXPECT_EQ(table.cell(ColLastRun, 3), now());
    EXPECT_EQ(table.cell(ColStatus, 4), "Done");
    // the box names the copy that failed
    EXPECT_EQ(view.topLevelErrors, std::vector<std::string>{"I/O error 112\r" + path("src/sub/b") +
                                                            " -> " + path("dst3/sub/b")});
    EXPECT_EQ(readFile(path("dst3/a")), "previous good copy");
    EXPECT_TRUE(tempsIn("dst3").empty());
    EXPECT_EQ(readFile(path("dst2/sub/b")), "also from source");
    EXPECT_EQ(state.runAllFlag, 0);
    EXPECT_EQ(state.busyFlag, 0);
    EXPECT_EQ(view.controlsEnabled,
              (std::vector<bool>{false, true, false, true, false, true, false, true}));

    const std::string saved = savedTable();
    EXPECT_NE(saved.find("Three->"), std::string::npos);
    EXPECT_NE(saved.find("ERROR"), std::string::npos);
    faultOnlyPathsContaining("");
}

TEST_F(ProfileRunTest, AProfileFileThatCannotBeSavedIsToldInOneBoxWithItsPath) {
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    const std::string file = profileFilePath(startFolder);
    std::remove(file.c_str());
    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); // refused by every save, even root's
    run();
    ASSERT_EQ(view.topLevelErrors.size(), 1u) << ::testing::PrintToString(view.topLevelErrors);
    EXPECT_TRUE(view.topLevelErrors[0].ends_with("\r" + file)) << view.topLevelErrors[0];
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
}

TEST_F(ProfileRunTest, ErrorInASynchronisationStopsBeforeTheSecondPass) {
    setProfile(1, "Syncro", "Mirror", path("src"), path("dst"));
    writeFile("dst/onlyInTarget", "x");
    setWriteHook(&shortWriteOnTemps);
    run();
    EXPECT_EQ(view.topLevelErrors,
              std::vector<std::string>{"I/O error 112\r" + path("src/a") + " -> " + path("dst/a")});
    EXPECT_TRUE(view.logLinesStartingWith("Sync Phase").empty());
    EXPECT_FALSE(exists("src/onlyInTarget"));
    EXPECT_FALSE(exists("dst/a"));
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
}

TEST_F(ProfileRunTest, BackupIntoAFolderOfItsOwnSourceLeavesThatFolderOut) {
    makeFolder("src/Backup");
    ASSERT_EQ(::symlink(path("src/Backup").c_str(), path("viaLink").c_str()), 0);
    const std::string leftOut = " Left out (the target inside the source) -> ";
    // named directly, then through a link: the same folder either way
    for (const std::string& target : {path("src/Backup"), path("viaLink")}) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(target + " round " + std::to_string(round));
            setProfile(1, "BackUP", "Home", path("src"), target);
            view.log.clear();
            view.warningBoxes.clear();
            run();
            EXPECT_EQ(view.logLinesStartingWith(leftOut),
                      std::vector<std::string>{leftOut + path("src/Backup")});
            const bool first = target == path("src/Backup") && round == 0;
            EXPECT_EQ(
                view.logLinesStartingWith(" Files Updated -> "),
                std::vector<std::string>{first ? " Files Updated -> 2" : " Files Updated -> 0"});
            EXPECT_EQ(table.cell(ColStatus, 1), "Done");
            EXPECT_TRUE(view.topLevelErrors.empty());
            EXPECT_TRUE(view.warningBoxes.empty());
        }
    }
    EXPECT_EQ(readFile(path("src/Backup/sub/b")), "also from source");
    EXPECT_FALSE(exists("src/Backup/Backup"));
    EXPECT_TRUE(tempsIn("src/Backup").empty());
}

TEST_F(ProfileRunTest, SynchronisationWithOneRootInsideTheOtherLeavesItOut) {
    makeFolder("src/mirror");
    // the target inside the source, then the source inside the target
    for (const auto& [source, target] :
         {std::pair{path("src"), path("src/mirror")}, std::pair{path("src/mirror"), path("src")}}) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(source + " round " + std::to_string(round));
            setProfile(1, "Syncro", "Mirror", source, target);
            view.log.clear();
            run();
            EXPECT_EQ(view.logLinesStartingWith(" Left out").size(), 1u);
            EXPECT_EQ(table.cell(ColStatus, 1), "Done");
            EXPECT_TRUE(view.topLevelErrors.empty());
            if (round == 1 || source == path("src/mirror")) {
                EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> "),
                          (std::vector<std::string>{" Files Updated -> 0", " Files Updated -> 0"}));
            }
        }
    }
    EXPECT_EQ(readFile(path("src/mirror/sub/b")), "also from source");
    EXPECT_FALSE(exists("src/mirror/mirror"));
}

TEST_F(ProfileRunTest, SynchronisationLeavesTheUsersLinksToFoldersAsTheyAre) {
    makeFolder("nas");
    writeFile("nas/remote", "on the other machine");
    // a link in the target where the source has a folder, and the other way round
    makeFolder("src/docs");
    writeFile("src/docs/local", "here");
    ASSERT_EQ(::symlink(path("nas").c_str(), path("dst/docs").c_str()), 0);
    ASSERT_EQ(::symlink(path("nas").c_str(), path("src/music").c_str()), 0);
    makeFolder("dst/music");
    writeFile("dst/music/song", "la");
    setProfile(1, "Syncro", "Mirror", path("src"), path("dst"));
    run();

    struct stat st {};
    for (const char* link : {"dst/docs", "src/music"}) {
        ASSERT_EQ(::lstat(path(link).c_str(), &st), 0) << link;
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
    }
    EXPECT_FALSE(exists("nas/local")); // nothing went through a link
    EXPECT_FALSE(exists("nas/song"));
    EXPECT_FALSE(exists("src/docs/remote"));
    EXPECT_FALSE(exists("dst/music/remote"));
    const std::string skipped = "   Skipped (a link where the other tree has a folder) -> ";
    EXPECT_EQ(view.logLinesStartingWith(skipped),
              (std::vector<std::string>{skipped + path("dst/docs"), skipped + path("src/music"),
                                        skipped + path("src/music"), skipped + path("dst/docs")}))
        << ::testing::PrintToString(view.log);
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_TRUE(view.warningBoxes.empty());

    // a backup goes on replacing links in its own target tree
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    run();
    ASSERT_EQ(::lstat(path("dst/docs").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(readFile(path("dst/docs/local")), "here");
    EXPECT_FALSE(exists("nas/local"));
}

TEST_F(ProfileRunTest, FailedFilesMakeTheRowAnErrorWithACountAndOneWarning) {
    makeFolder("dst/a/kept"); // a folder where the file a goes
    makeFolder("dst2/a/kept");
    setProfile(1, "BackUP", "One", path("src"), path("dst"));
    run();
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_EQ(table.cell(ColLastRun, 1), now());
    EXPECT_NE(savedTable().find("ERROR"), std::string::npos);
    const auto updated = std::find(view.log.begin(), view.log.end(), " Files Updated -> 1");
    ASSERT_NE(updated, view.log.end());
    EXPECT_EQ(updated[1], " Files Failed  -> 1");
    EXPECT_TRUE(view.topLevelErrors.empty()); // the pass went to its end
    EXPECT_EQ(readFile(path("dst/sub/b")), "also from source");
    EXPECT_EQ(view.warningBoxes,
              std::vector<std::string>{"1 file could not be written.\r\rThe run log names each "
                                       "of them after \"Error\"."});

    // Run All: one box at its end for every profile, the good one still "Done".
    setProfile(2, "BackUP", "Two", path("src"), path("dst3"));
    setProfile(3, "BackUP", "Three", path("src"), path("dst2"));
    makeFolder("dst3");
    makeFolder("src/.cache"); // left out by every profile: the box names them too
    view.warningBoxes.clear();
    engine.runAll();
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_EQ(table.cell(ColStatus, 2), "Done");
    EXPECT_EQ(table.cell(ColStatus, 3), "ERROR");
    ASSERT_EQ(view.warningBoxes.size(), 1u);
    EXPECT_TRUE(view.warningBoxes[0].starts_with("2 files could not be written."));
    EXPECT_TRUE(view.warningBoxes[0].ends_with(
        "\r\r3 hidden folders (their names begin with \".\") were left out, as always; the log "
        "names them after \"Left out\"."))
        << view.warningBoxes[0];
    // a clean profile says nothing of failures
    EXPECT_EQ(view.logLinesStartingWith(" Files Failed").size(), 2u);
}

TEST_F(ProfileRunTest, FoldersMadeInTheTargetAreNeverWiderThanTheirSources) {
    // group and others as the source; the owner keeps every right, or the next run could
    // not write into the copy of a read-only folder
    const std::pair<mode_t, mode_t> modes[] = {
        {0700, 0700}, {0750, 0750}, {0755, 0755}, {0500, 0700}, {0711, 0711}};
    for (const auto& [source, made] : modes) {
        const std::string name = "src/m" + std::to_string(source);
        makeFolder(name);
        ASSERT_EQ(::chmod(path(name).c_str(), source), 0);
    }
    makeFolder("new");
    setProfile(1, "BackUP", "Modes", path("src"), path("new"));
    run();
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    for (const auto& [source, made] : modes) {
        const auto copy = statPath(path("new/m" + std::to_string(source)));
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->mode, made) << std::oct << source;
    }
    EXPECT_TRUE(view.logLinesStartingWith(" Permissions Not Kept").empty());
}

TEST_F(ProfileRunTest, NamesDifferingOnlyInCaseBothGoWhereTheTargetTellsThemApart) {
    writeFile("src/Notes.txt", "capital");
    writeFile("src/notes.txt", "small");
    setProfile(1, "BackUP", "Case", path("src"), path("dst"));
    run();
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_EQ(readFile(path("dst/Notes.txt")), "capital");
    EXPECT_EQ(readFile(path("dst/notes.txt")), "small");
    EXPECT_TRUE(tempsIn("dst").empty()); // the medium was asked with a file of ours, gone
}

namespace {

/// Opens (making it with `make`) a chain of `levels` folders below `root`, one name at a
/// time: the whole path is longer than any the system takes. -1 when a level fails.
int deepChain(const std::string& root, int levels, std::size_t nameLength, bool make) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name(nameLength, 'd');
    for (int level = 0; fd >= 0 && level < levels; ++level) {
        if (make)
            ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
    }
    return fd;
}

} // namespace

TEST_F(ProfileRunTest, ATreeDeeperThanThePathLimitIsBackedUpWhole) {
    // past 6,000 and 5,000 bytes at the bottom: short names, and names near the limit
    for (const auto& [levels, nameLength] : {std::pair{150, std::size_t{40}}, {20, 250}}) {
        SCOPED_TRACE(nameLength);
        const std::string source = "s" + std::to_string(nameLength);
        const std::string target = "t" + std::to_string(nameLength);
        makeFolder(source);
        makeFolder(target);
        const int bottom = deepChain(path(source), levels, nameLength, true);
        ASSERT_GE(bottom, 0);
        const int file = ::openat(bottom, "deep.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0);
        ASSERT_EQ(::write(file, "bottom", 6), 6);
        ::close(file);
        ::close(bottom);
        setProfile(1, "BackUP", "Deep", path(source), path(target));
        for (int round = 0; round < 2; ++round) { // the second enters what the first made
            SCOPED_TRACE(round);
            view.log.clear();
            run();
            EXPECT_EQ(table.cell(ColStatus, 1), "Done") << ::testing::PrintToString(view.log);
            EXPECT_EQ(view.logLinesStartingWith(" Total Folders").front(),
                      " Total Folders -> " + std::to_string(levels));
            const int copy = deepChain(path(target), levels, nameLength, false);
            ASSERT_GE(copy, 0);
            char bytes[16] = {};
            const int in = ::openat(copy, "deep.txt", O_RDONLY | O_CLOEXEC);
            EXPECT_EQ(::read(in, bytes, sizeof bytes), 6);
            EXPECT_STREQ(bytes, "bottom");
            ::close(in);
            ::close(copy);
        }
    }
}

TEST_F(ProfileRunTest, TargetNobodyMayWriteIntoEndsAsAnError) {
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    ASSERT_TRUE(chownTree(path("")));
    ASSERT_EQ(::chown(path("dst").c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(path("dst").c_str(), 0555), 0);
    const int status = runAsNobody([&] {
        engine.runProfile();
        const bool named = view.logLinesStartingWith("   Error 5 -> " + path("dst/a")).size() == 1;
        const bool counted = view.logLinesStartingWith(" Files Failed  -> 2").size() == 1;
        return table.cell(ColStatus, 1) == "ERROR" && named && counted &&
                       view.warningBoxes.size() == 1
                   ? 0
                   : 1;
    });
    if (status == 99)
        GTEST_SKIP() << "cannot leave root here";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists("dst/a"));
}

} // namespace
} // namespace qm::test
