// Temporaries: every copy has its own, nothing is removed for its name alone, and what a
// killed run leaves goes at the next run, on local disks and on the media people carry.

#include "engine_fixture.h"
#include "file_bytes.h"
#include "folder_handle.h"
#include "mounted_medium.h"
#include "temp_journal.h"
#include "temp_name.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

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

TEST_F(TemporariesTest, CopyOfAMissingTargetStillLandsWhenSomethingTakesItsNameMeanwhile) {
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    preparePass(path("src"), path("dst"));
    // between the copy and its write-out something takes the name the copy was to have
    engine.setProbe([&](Engine::ProbePoint point, const std::string&) {
        if (point == Engine::ProbePoint::BeforeWriteOut && !exists("dst/f0"))
            writeFile("dst/f0", "appeared meanwhile");
    });
    engine.transferPass();
    engine.setProbe({});
    // replaced through a temporary and the rename, as any older target is
    EXPECT_TRUE(readFile(path("dst/f0")) == readFile(path("src/f0")));
    EXPECT_TRUE(readFile(path("dst/sub/f1")) == readFile(path("src/sub/f1")));
    EXPECT_TRUE(targetTemps().empty());
    EXPECT_EQ(state.FilesUpdated, 24);
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

} // namespace
} // namespace qm::test
