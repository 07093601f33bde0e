// Temporaries: every copy has its own, nothing is removed for its name alone, and what a
// killed run leaves goes at the next run, on local disks and on the media people carry.

#include "engine_fixture.h"
#include "file_bytes.h"
#include "folder_handle.h"
#include "mounted_medium.h"
#include "temp_journal.h"
#include "temp_name.h"
#include "tmpfs_mount.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

/// Points the journals at the test's own folder, so no other test's run takes ours.
class OwnStateFolder {
public:
    explicit OwnStateFolder(const std::string& folder) {
        if (const char* old = std::getenv("XDG_STATE_HOME"))
            old_ = old;
        ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
    }
    ~OwnStateFolder() {
        if (old_)
            ::setenv("XDG_STATE_HOME", old_->c_str(), 1);
        else
            ::unsetenv("XDG_STATE_HOME");
    }

private:
    std::optional<std::string> old_;
};

class TemporariesTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src/sub");
        makeFolder("dst");
        makeFolder("state");
        for (int i = 0; i < 24; ++i)
            writeFile("src/" + std::string(i % 2 ? "sub/" : "") + "f" + std::to_string(i),
                      std::string(1000 + 7000 * i, static_cast<char>('a' + i)));
    }
    /// Every temporary-like name in the target tree.
    std::vector<std::string> targetTemps() const {
        auto names = tempsIn("dst");
        for (const auto& name : tempsIn("dst/sub"))
            names.push_back("sub/" + name);
        return names;
    }
    /// A run in a child process that dies like a killed one (no clean-up of any kind) once
    /// `copies` files are logged as written and wait in the batch.
    void killedRun(int copies) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            struct Dying : RecordingView {
                using RecordingView::RecordingView;
                void appendLog(const std::string& line) override {
                    if (line.starts_with("   " + root) && --left == 0)
                        ::_exit(0);
                }
                std::string root;
                int left = 0;
            } dying(state);
            dying.root = path("src");
            dying.left = copies;
            Engine doomed(table, dying, state, format, clock);
            doomed.runProfile();
            ::_exit(3); // the run ended before its kill
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended before its kill";
    }
    OwnStateFolder stateFolder{path("state")};
};

TEST_F(TemporariesTest, SourceFileNamedLikeATemporaryIsBackedUpAndKept) {
    const std::string name = newTempName();
    writeFile("src/" + name, "the user's own file");
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    engine.runProfile();
    EXPECT_EQ(readFile(path("src/" + name)), "the user's own file");
    EXPECT_EQ(readFile(path("dst/" + name)), "the user's own file");
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    // and a synchronisation carries it back without removing it either
    setProfile(1, "Synchronise", "Docs", path("src"), path("dst"));
    engine.runProfile();
    EXPECT_EQ(readFile(path("src/" + name)), "the user's own file");
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
}

TEST_F(TemporariesTest, SynchronisationNeverCarriesAKilledRunsTemporaryAcross) {
    // half a copy left on the stick by a run killed where no journal could name it
    const std::string name = newTempName();
    makeFolder("dst/sub");
    writeFile("dst/sub/" + name, std::string(4096, 'h'));
    setProfile(1, "Syncro", "Stick", path("src"), path("dst"));
    engine.runProfile();
    EXPECT_FALSE(exists("src/sub/" + name));
    EXPECT_EQ(view.logLinesStartingWith("   Skipped (a temporary of an unfinished copy) -> " +
                                        path("dst/sub/" + name))
                  .size(),
              1u);
    EXPECT_EQ(readFile(path("src/f2")), readFile(path("dst/f2"))); // the rest as ever
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
}

TEST_F(TemporariesTest, OnlyWhatAnEndedRunRecordedIsRemoved) {
    const std::string recorded = path("dst/" + newTempName());
    const std::string lookalike = path("dst/" + newTempName());
    const std::string ordinary = path("dst/notes.txt");
    const std::string folder = path("dst/" + newTempName());
    qm::test::writeFile(lookalike, "the user's");
    qm::test::writeFile(ordinary, "the user's");
    std::filesystem::create_directory(folder);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // a journal left as a killed run leaves it: never closed, never removed
        auto* journal = new TempJournal(tempJournalFolder(), {path("dst")});
        FolderHandle target;
        bool written = target.openRoot(path("dst"));
        for (const std::string& path : {recorded, ordinary, folder})
            written = journal->record(target, path.substr(path.rfind('/') + 1)) && written;
        qm::test::writeFile(recorded, "half a copy");
        ::_exit(written ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // a journal of a run still going is left alone, this process's own included
    TempJournal live(tempJournalFolder(), {path("dst")});
    const std::string liveName = newTempName();
    const std::string liveTemp = path("dst/" + liveName);
    FolderHandle target;
    ASSERT_TRUE(target.openRoot(path("dst")));
    ASSERT_TRUE(live.record(target, liveName));
    qm::test::writeFile(liveTemp, "being written");

    EXPECT_EQ(TempJournal::recoverEnded(tempJournalFolder(), {path("dst")}, isTempName).removed, 1);
    EXPECT_FALSE(exists("dst/" + recorded.substr(recorded.rfind('/') + 1)));
    EXPECT_EQ(readFile(lookalike), "the user's");
    EXPECT_EQ(readFile(ordinary), "the user's"); // recorded, but not a name of ours
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(readFile(liveTemp), "being written");
    // the ended journal went with its temporaries; a second recovery finds nothing
    EXPECT_EQ(TempJournal::recoverEnded(tempJournalFolder(), {path("dst")}, isTempName).removed, 0);
}

TEST_F(TemporariesTest, CopyOfAMissingTargetLeavesAloneWhatTookItsNameMeanwhile) {
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    preparePass(path("src"), path("dst"));
    // between the copy and its write-out something takes the name the copy was to have
    engine.setProbe([&](Engine::ProbePoint point, const std::string&) {
        if (point == Engine::ProbePoint::BeforeWriteOut && !exists("dst/f0"))
            writeFile("dst/f0", "appeared meanwhile");
    });
    engine.transferPass();
    engine.setProbe({});
    // not older than the source: what appeared stays, and the log says so
    EXPECT_EQ(readFile(path("dst/f0")), "appeared meanwhile");
    EXPECT_EQ(view.logLinesStartingWith("   Left alone (changed since it was compared) -> " +
                                        path("dst/f0"))
                  .size(),
              1u);
    EXPECT_TRUE(readFile(path("dst/sub/f1")) == readFile(path("src/sub/f1")));
    EXPECT_TRUE(targetTemps().empty());
    EXPECT_EQ(state.FilesUpdated, 23);
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
}

struct TargetCase {
    const char* name;
    std::optional<MountedMedium::Kind> medium; ///< none: the local disk
};

class KilledRunTemporaries : public TemporariesTest,
                             public ::testing::WithParamInterface<TargetCase> {};

TEST_P(KilledRunTemporaries, NextRunLeavesNoneEvenWhenTheirSourcesAreGone) {
    std::optional<MountedMedium> medium;
    if (GetParam().medium) {
        medium.emplace(*GetParam().medium, path("medium.img"), path("dst"));
        QM_REQUIRE_MOUNTED(*medium);
        makeFolder("dst/sub");
    }
    const ReturnToFolder leave(startDir);
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    killedRun(6);
    if (GetParam().medium) { // no unnamed files there: the batch's copies have names
        EXPECT_FALSE(targetTemps().empty());
    }

    // every source whose copy was under way is gone before the next run
    std::filesystem::remove_all(path("src/sub"));
    for (int i = 0; i < 24; i += 2)
        std::filesystem::remove(path("src/f" + std::to_string(i)));
    writeFile("src/last", "last");
    engine.runProfile();
    EXPECT_TRUE(targetTemps().empty()) << ::testing::PrintToString(targetTemps());
    EXPECT_EQ(readFile(path("dst/last")), "last");
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    // no journal is left behind either
    EXPECT_TRUE(!std::filesystem::exists(path("state/quillmark")) ||
                std::filesystem::is_empty(path("state/quillmark")));
}

INSTANTIATE_TEST_SUITE_P(Targets, KilledRunTemporaries,
                         ::testing::Values(TargetCase{"LocalDisk", std::nullopt},
                                           TargetCase{"Fat32", MountedMedium::Kind::Fat32},
                                           TargetCase{"Exfat", MountedMedium::Kind::Exfat}),
                         [](const auto& info) { return std::string(info.param.name); });

/// The state folder a run finds.
enum class StateFolder { Usable, BlockedByAFile, Full };

struct StickCase {
    const char* name;
    MountedMedium::Kind medium;
    StateFolder state;
};

class KilledRunOnAStick : public TemporariesTest, public ::testing::WithParamInterface<StickCase> {
protected:
    /// The journals a tree's root holds.
    std::vector<std::string> treeJournals(const std::string& relative) const {
        std::vector<std::string> names;
        for (const std::string& name : tempsIn(relative))
            if (isTreeJournalName(name))
                names.push_back(name);
        return names;
    }
};

TEST_P(KilledRunOnAStick, TheNextRunRemovesItsTemporariesWhereverTheirJournalIs) {
    MountedMedium medium(GetParam().medium, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    makeFolder("dst/sub");
    const ReturnToFolder leave(startDir);
    std::optional<TmpfsMount> fullHome;
    std::optional<OwnStateFolder> unusable;
    switch (GetParam().state) {
    case StateFolder::Usable:
        break;
    case StateFolder::BlockedByAFile:
        writeFile("blocker", "a file where the folder would be");
        unusable.emplace(path("blocker"));
        break;
    case StateFolder::Full:
        makeFolder("home");
        fullHome.emplace(path("home"), "64k");
        QM_REQUIRE_MOUNTED(*fullHome);
        makeFolder("home/quillmark");
        ASSERT_TRUE(fullHome->fill());
        unusable.emplace(path("home"));
        break;
    }
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    killedRun(6);
    ASSERT_FALSE(targetTemps().empty()); // no unnamed files on the stick
    // where the state folder cannot keep it, the journal is ours in the target's root
    EXPECT_EQ(treeJournals("dst").size(), unusable ? 1u : 0u);

    engine.runProfile();
    EXPECT_TRUE(targetTemps().empty()) << ::testing::PrintToString(targetTemps());
    EXPECT_TRUE(tempsIn("dst").empty()) << ::testing::PrintToString(tempsIn("dst"));
    EXPECT_EQ(readFile(path("dst/sub/f23")), readFile(path("src/sub/f23")));
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_TRUE(view.topLevelErrors.empty()) << ::testing::PrintToString(view.topLevelErrors);
    EXPECT_TRUE(!fs::exists(path("state/quillmark")) || fs::is_empty(path("state/quillmark")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KilledRunOnAStick,
    ::testing::Values(
        StickCase{"Fat32", MountedMedium::Kind::Fat32, StateFolder::Usable},
        StickCase{"Fat32BlockedState", MountedMedium::Kind::Fat32, StateFolder::BlockedByAFile},
        StickCase{"Fat32FullState", MountedMedium::Kind::Fat32, StateFolder::Full},
        StickCase{"ExfatBlockedState", MountedMedium::Kind::Exfat, StateFolder::BlockedByAFile},
        StickCase{"ExfatFullState", MountedMedium::Kind::Exfat, StateFolder::Full}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TemporariesTest, AJournalInATreeNeverReachesTheOtherTree) {
    // the journal goes in the stick's root, which the synchronisation's second pass lists
    MountedMedium medium(MountedMedium::Kind::Fat32, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);
    writeFile("blocker", "a file where the state folder would be");
    const OwnStateFolder unusable(path("blocker"));
    writeFile("dst/theirs", "from the stick");
    setProfile(1, "Synchronise", "Docs", path("src"), path("dst"));
    engine.runProfile();
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_EQ(readFile(path("src/theirs")), "from the stick");
    EXPECT_EQ(readFile(path("dst/sub/f23")), readFile(path("src/sub/f23")));
    EXPECT_TRUE(tempsIn("src").empty()) << ::testing::PrintToString(tempsIn("src"));
    EXPECT_TRUE(tempsIn("dst").empty()) << ::testing::PrintToString(tempsIn("dst"));
}

struct AbsentCase {
    const char* name;
    MountedMedium::Kind medium;
    const char* target; ///< below the test's folder; "dst" is the mount point itself
};

class StickPulledOut : public TemporariesTest, public ::testing::WithParamInterface<AbsentCase> {
protected:
    /// Every temporary-like name in the target's root and its "sub".
    std::vector<std::string> temps() const {
        const std::string target = GetParam().target;
        auto names = tempsIn(target);
        for (const auto& name : tempsIn(target + "/sub"))
            names.push_back("sub/" + name);
        return names;
    }
};

// The stick is pulled out after the kill: the runs without it leave its entries be, the
// first with it removes its temporaries.
TEST_P(StickPulledOut, ItsTemporariesWaitForItsReturn) {
    MountedMedium medium(GetParam().medium, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const std::string target = GetParam().target;
    makeFolder(target + "/sub");
    const ReturnToFolder leave(startDir);
    setProfile(1, "BackUP", "Docs", path("src"), path(target));
    killedRun(6);
    const auto left = temps();
    ASSERT_FALSE(left.empty());

    fs::current_path(startDir);
    ASSERT_TRUE(medium.unmount());
    for (int run = 0; run < 2; ++run) {
        engine.runProfile(); // into the bare mount point, or failing on its missing target
        ASSERT_FALSE(fs::is_empty(path("state/quillmark"))) << "the entries were dropped";
    }
    fs::current_path(startDir);
    // FUSE mounts on an empty folder only: what went into the bare mount point is cleared
    for (const auto& entry : fs::directory_iterator(path("dst")))
        fs::remove_all(entry.path());
    ASSERT_TRUE(medium.mountAgain());
    for (const std::string& name : left)
        EXPECT_TRUE(fs::exists(path(target + "/" + name))) << name;

    engine.runProfile();
    EXPECT_TRUE(temps().empty()) << ::testing::PrintToString(temps());
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_TRUE(fs::is_empty(path("state/quillmark")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StickPulledOut,
    ::testing::Values(AbsentCase{"Fat32MountPoint", MountedMedium::Kind::Fat32, "dst"},
                      AbsentCase{"Fat32FolderOnIt", MountedMedium::Kind::Fat32, "dst/backup"},
                      AbsentCase{"ExfatFolderOnIt", MountedMedium::Kind::Exfat, "dst/backup"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TemporariesTest, AStickThatStopsAnsweringHoldsUpNoRunOfAnotherProfile) {
    MountedMedium medium(MountedMedium::Kind::Fat32, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    makeFolder("dst/sub");
    const ReturnToFolder leave(startDir);
    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    killedRun(6);
    fs::current_path(startDir);
    const pid_t driver = medium.driverProcess();
    ASSERT_GT(driver, 0);

    // The stick's driver stops answering: whatever touches the stick now waits.
    makeFolder("local");
    setProfile(1, "BackUP", "Local", path("src"), path("local"));
    ASSERT_EQ(::kill(driver, SIGSTOP), 0);
    struct Resume {
        pid_t driver;
        ~Resume() { ::kill(driver, SIGCONT); }
    } resume{driver};
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(120); // the watchdog: a run that waits for the stick dies of it
        engine.runProfile();
        ::_exit(table.cell(ColStatus, 1) == "Done" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::kill(driver, SIGCONT);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "the run hung on the stick" : "the run failed");

    // the stick's own profile cleans it once it answers again
    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    engine.runProfile();
    EXPECT_TRUE(targetTemps().empty()) << ::testing::PrintToString(targetTemps());
    EXPECT_TRUE(fs::is_empty(path("state/quillmark")));
}

TEST_F(TemporariesTest, ANameNoJournalTakesEndsTheRunBeforeItsTemporaryIsMade) {
    // a full home, and a target whose root refuses the journal while a folder below takes
    // files; only the link needs a name of its own there (files go in unnamed)
    makeFolder("home");
    TmpfsMount home(path("home"), "64k");
    TmpfsMount target(path("dst"), "1m");
    QM_REQUIRE_MOUNTED(home);
    QM_REQUIRE_MOUNTED(target);
    makeFolder("home/quillmark");
    ASSERT_TRUE(home.fill());
    makeFolder("dst/sub");
    TmpfsMount below(path("dst/sub"), "1m");
    QM_REQUIRE_MOUNTED(below);
    ASSERT_TRUE(target.setReadOnly(true));
    const OwnStateFolder full(path("home"));
    makeFolder("links/sub");
    fs::create_symlink("f1", path("links/sub/link"));

    setProfile(1, "BackUP", "Docs", path("links"), path("dst"));
    engine.runProfile();
    EXPECT_TRUE(tempsIn("dst/sub").empty()) << ::testing::PrintToString(tempsIn("dst/sub"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("dst/sub/link"))));
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    ASSERT_EQ(view.topLevelErrors.size(), 1u);
    EXPECT_TRUE(view.topLevelErrors[0].starts_with(ioErrorMessage(1007))) << view.topLevelErrors[0];
    // the log says where and why
    const auto lines = view.logLinesStartingWith("ERROR: The name of a temporary");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(path("home/quillmark")), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(path("dst")), std::string::npos) << lines[0];
    // the full home's journal, refused its first line, is not left there at 0 bytes
    EXPECT_TRUE(fs::is_empty(path("home/quillmark")));
}

} // namespace
} // namespace qm::test
