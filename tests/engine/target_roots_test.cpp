#include "engine_fixture.h"
#include "file_bytes.h"
#include "mounted_medium.h"
#include "profile_file.h"

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace qm::test {
namespace {

const std::string LeftOut = " Left out (the target inside the source) -> ";
const std::string NoDatedFolder = "   Error (a link or no folder where the datestamped folder "
                                  "belongs; nothing is written through it) -> ";

/// Roots that another way into a tree could confuse: a datestamped folder somebody else may
/// plant something in, and a target the source reaches by a bind mount or a second path.
class TargetRootsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src/sub");
        writeFile("src/a", "from source");
        writeFile("src/sub/b", "also from source");
        makeFolder("dst");
        makeFolder("outside");
        writeFile("outside/kept", "somebody else's");
        dated = "dst/" + engine.datestampFolderName();
    }
    void TearDown() override {
        engine.setProbe({});
        EngineTest::TearDown();
    }

    /// Names below "outside", which no run may write into.
    std::vector<std::string> outsideNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(path("outside")))
            names.push_back(entry.path().filename().string());
        return names;
    }
    /// Runs row 1 through `on` (the fixture's engine unless given another).
    void run(Engine& on) {
        view.log.clear();
        view.warningBoxes.clear();
        on.runProfile();
    }
    void run() { run(engine); }
    std::vector<std::string> updatedLines() const {
        return view.logLinesStartingWith(" Files Updated -> ");
    }
    /// How many folders named "mnt" nest one in another below `relative`.
    int mntDepth(const std::string& relative) const {
        int depth = 0;
        std::string at = relative;
        while (fs::exists(path(at + "/mnt"))) {
            at += "/mnt";
            ++depth;
        }
        return depth;
    }

    std::string dated; ///< the datestamped folder, relative
};

TEST_F(TargetRootsTest, DatestampedFolderThatIsNoFolderOfItsOwnEndsTheRunUnwritten) {
    struct Planted {
        const char* what;
        std::function<void(const std::string& at)> plant;
    };
    const Planted cases[] = {
        {"a link to a folder",
         [&](const std::string& at) { fs::create_directory_symlink(path("outside"), at); }},
        {"a dangling link",
         [&](const std::string& at) { fs::create_symlink(path("outside/none"), at); }},
        {"a link to a file",
         [&](const std::string& at) { fs::create_symlink(path("outside/kept"), at); }},
        {"a regular file", [](const std::string& at) { ::qm::test::writeFile(at, "a file"); }},
    };
    for (const Planted& planted : cases) {
        SCOPED_TRACE(planted.what);
        fs::remove(path(dated));
        planted.plant(path(dated));
        const auto before = fs::symlink_status(path(dated)).type();
        setProfile(1, "BackUP", "Daily", path("src"), path("dst"), "NPAODF");
        run();

        EXPECT_EQ(view.logLinesStartingWith(NoDatedFolder),
                  std::vector<std::string>{NoDatedFolder + path(dated)})
            << ::testing::PrintToString(view.log);
        EXPECT_TRUE(view.logLinesStartingWith("START").empty()); // no pass ran
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        EXPECT_NE(readFile(profileFilePath(startFolder)).find("ERROR"), std::string::npos);
        EXPECT_EQ(view.warningBoxes.size(), 1u);
        EXPECT_TRUE(view.topLevelErrors.empty());
        // nothing written through it, and what was planted is left as it was
        EXPECT_EQ(outsideNames(), std::vector<std::string>{"kept"});
        EXPECT_EQ(readFile(path("outside/kept")), "somebody else's");
        EXPECT_EQ(fs::symlink_status(path(dated)).type(), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(path("dst")), fs::directory_iterator{}), 1);
    }
}

TEST_F(TargetRootsTest, DatestampedFolderSwappedBeforeThePassIsNeverWrittenThrough) {
    // Checked, then swapped for a link to elsewhere: before the target tree is rebuilt, and
    // after it (before the first file).
    struct SwapView : RecordingView {
        using RecordingView::RecordingView;
        void setStatus(const std::string& text) override {
            RecordingView::setStatus(text);
            if (text == "Scanning Folders..." && swap)
                std::exchange(swap, nullptr)();
        }
        std::function<void()> swap;
    };
    const auto swapForLink = [&] {
        fs::rename(path(dated), path("dated-aside"));
        fs::create_directory_symlink(path("outside"), path(dated));
    };
    for (const bool beforeRebuild : {true, false}) {
        SCOPED_TRACE(beforeRebuild ? "before the rebuild" : "after the rebuild");
        fs::remove_all(path(dated));
        fs::remove_all(path("dated-aside"));
        SwapView swapping(state);
        Engine swapped(table, swapping, state, format, clock);
        if (beforeRebuild)
            swapping.swap = swapForLink;
        else
            swapped.setProbe([&](Engine::ProbePoint point, const std::string&) {
                if (point == Engine::ProbePoint::FoldersRebuilt && !fs::is_symlink(path(dated)))
                    swapForLink();
            });
        setProfile(1, "BackUP", "Daily", path("src"), path("dst"), "NPAODF");
        swapped.runProfile();

        ASSERT_TRUE(fs::is_symlink(path(dated)));
        EXPECT_EQ(outsideNames(), std::vector<std::string>{"kept"});
        EXPECT_EQ(swapping.logLinesStartingWith("   Error 1921 -> " + path(dated)).size(), 1u)
            << ::testing::PrintToString(swapping.log);
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        EXPECT_FALSE(exists("dated-aside/a"));
        EXPECT_FALSE(exists("dated-aside/sub/b"));
    }
}

TEST_F(TargetRootsTest, DatestampedFolderIsMadeAndReusedInsideALinkedTarget) {
    // A link on the target's own path is the user's: followed as before.
    ASSERT_EQ(::symlink(path("dst").c_str(), path("store").c_str()), 0);
    setProfile(1, "BackUP", "Daily", path("src"), path("store"), "NPAODF");
    for (const char* updated : {" Files Updated -> 2", " Files Updated -> 0"}) {
        run();
        EXPECT_EQ(updatedLines(), std::vector<std::string>{updated});
        EXPECT_EQ(table.cell(ColStatus, 1), "Done");
        EXPECT_TRUE(view.warningBoxes.empty());
    }
    EXPECT_EQ(readFile(path(dated + "/sub/b")), "also from source");
    EXPECT_EQ(state.TargetFolder, path("store/" + engine.datestampFolderName()));
}

TEST_F(TargetRootsTest, LeftOutFolderGoesFromTheListsWhereverItStandsAmongItsSiblings) {
    for (const char* name : {"A", "B", "C", "D"})
        makeFolder("src/" + std::string(name) + "/below");
    for (const char* target : {"src/A", "src/B", "src/C", "src/D"}) {
        SCOPED_TRACE(target);
        setProfile(1, "BackUP", "Home", path("src"), path(target));
        preparePass(path("src"), path(target));
        view.log.clear();
        engine.transferPass();
        EXPECT_EQ(view.logLinesStartingWith(LeftOut),
                  std::vector<std::string>{LeftOut + path(target)});
        // every other folder once, each with its own twin
        ASSERT_EQ(state.ListBox1.size(), state.ListBox2.size());
        EXPECT_EQ(state.ListBox1.size(), 1u + 1 + 3 * 2)
            << ::testing::PrintToString(state.ListBox1);
        for (std::size_t i = 1; i < state.ListBox1.size(); ++i) {
            const std::string below = state.ListBox1[i].substr(path("src").size());
            EXPECT_EQ(state.ListBox2[i], path(target) + below);
            EXPECT_FALSE((state.ListBox1[i] + "/").starts_with(path(target) + "/"))
                << state.ListBox1[i];
        }
        fs::remove_all(path(target));
        makeFolder(std::string(target) + "/below");
    }
}

TEST_F(TargetRootsTest, TargetBindMountedInsideTheSourceIsLeftOut) {
    makeFolder("src/mnt");
    BindMount bind(path("dst"), path("src/mnt"));
    QM_REQUIRE_MOUNTED(bind);
    const ReturnToFolder leave(startDir);
    setProfile(1, "BackUP", "Home", path("src"), path("dst"));
    for (const char* updated : {" Files Updated -> 2", " Files Updated -> 0"}) {
        run();
        EXPECT_EQ(view.logLinesStartingWith(LeftOut),
                  std::vector<std::string>{LeftOut + path("src/mnt")})
            << ::testing::PrintToString(view.log);
        EXPECT_EQ(updatedLines(), std::vector<std::string>{updated});
        EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    }
    EXPECT_EQ(readFile(path("dst/sub/b")), "also from source");
    EXPECT_EQ(mntDepth("dst"), 0); // never the backup backed up into itself
}

TEST_F(TargetRootsTest, DatestampedFolderBindMountedInsideTheSourceIsLeftOut) {
    setProfile(1, "BackUP", "Daily", path("src"), path("dst"), "NPAODF");
    run(); // makes the datestamped folder
    makeFolder("src/mnt");
    BindMount bind(path(dated), path("src/mnt"));
    QM_REQUIRE_MOUNTED(bind);
    const ReturnToFolder leave(startDir);
    run();
    EXPECT_EQ(view.logLinesStartingWith(LeftOut),
              std::vector<std::string>{LeftOut + path("src/mnt")});
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_EQ(mntDepth(dated), 0);
}

TEST_F(TargetRootsTest, SynchronisationLeavesOutEitherRootBindMountedInsideTheOther) {
    // the target inside the source (first pass), the source inside the target (second pass)
    for (const bool targetInside : {true, false}) {
        SCOPED_TRACE(targetInside ? "target inside the source" : "source inside the target");
        const std::string outer = targetInside ? "src" : "dst";
        makeFolder(outer + "/mnt");
        {
            BindMount bind(path(targetInside ? "dst" : "src"), path(outer + "/mnt"));
            QM_REQUIRE_MOUNTED(bind);
            const ReturnToFolder leave(startDir);
            setProfile(1, "Syncro", "Mirror", path("src"), path("dst"));
            for (int round = 0; round < 2; ++round) {
                run();
                EXPECT_EQ(view.logLinesStartingWith(LeftOut),
                          std::vector<std::string>{LeftOut + path(outer + "/mnt")})
                    << ::testing::PrintToString(view.log);
                EXPECT_EQ(table.cell(ColStatus, 1), "Done");
            }
            EXPECT_EQ(updatedLines(),
                      (std::vector<std::string>{" Files Updated -> 0", " Files Updated -> 0"}));
            EXPECT_EQ(mntDepth("src"), targetInside ? 1 : 0);
            EXPECT_EQ(mntDepth("dst"), targetInside ? 0 : 1);
            EXPECT_EQ(readFile(path("dst/sub/b")), "also from source");
        }
        fs::remove(path(outer + "/mnt"));
    }
}

TEST_F(TargetRootsTest, LinkToTheTargetInsideTheSourceIsCopiedAsALink) {
    ASSERT_EQ(::symlink(path("dst").c_str(), path("src/toBackup").c_str()), 0);
    setProfile(1, "BackUP", "Home", path("src"), path("dst"));
    run();
    EXPECT_TRUE(view.logLinesStartingWith(LeftOut).empty());
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    ASSERT_TRUE(fs::is_symlink(path("dst/toBackup")));
    EXPECT_EQ(fs::read_symlink(path("dst/toBackup")), path("dst"));
    EXPECT_EQ(readFile(path("dst/sub/b")), "also from source");
}

} // namespace
} // namespace qm::test
