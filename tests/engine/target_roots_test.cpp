#include "engine_fixture.h"
#include "file_bytes.h"
#include "mounted_medium.h"

#include <filesystem>
#include <functional>
#include <utility>

namespace fs = std::filesystem;

namespace qm::test {
namespace {

const std::string LeftOut = " Left out (the target inside the source) -> ";

/// A datestamped folder somebody else may plant something in, and targets the source
/// reaches by a bind mount or a second path.
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
    void run(Engine& on) {
        view.log.clear();
        on.runProfile();
    }
    /// "outside" holds only what the test put there.
    void expectOutsideUntouched() const {
        EXPECT_EQ(fs::directory_iterator(path("outside"))->path(), path("outside/kept"));
        EXPECT_EQ(std::distance(fs::directory_iterator(path("outside")), {}), 1);
    }
    /// How many folders named "mnt" nest one in another below `relative`.
    int mntDepth(std::string relative) const {
        int depth = 0;
        for (; fs::exists(path(relative += "/mnt")); ++depth) {
        }
        return depth;
    }
    std::string dated;
};

TEST_F(TargetRootsTest, DatestampedFolderThatIsNoFolderOfItsOwnEndsTheRunUnwritten) {
    const std::pair<const char*, std::function<void(const std::string&)>> planted[] = {
        {"link to a folder", [&](auto& at) { fs::create_directory_symlink(path("outside"), at); }},
        {"dangling link", [&](auto& at) { fs::create_symlink(path("outside/none"), at); }},
        {"link to a file", [&](auto& at) { fs::create_symlink(path("outside/kept"), at); }},
        {"regular file", [](auto& at) { ::qm::test::writeFile(at, "a file"); }},
    };
    const std::string named = "   Error (a link or no folder where the datestamped folder "
                              "belongs; nothing is written through it) -> ";
    for (const auto& [what, plant] : planted) {
        SCOPED_TRACE(what);
        fs::remove(path(dated));
        plant(path(dated));
        const auto kind = fs::symlink_status(path(dated)).type();
        setProfile(1, "BackUP", "Daily", path("src"), path("dst"), "NPAODF");
        view.warningBoxes.clear();
        run(engine);
        EXPECT_EQ(view.logLinesStartingWith(named), std::vector<std::string>{named + path(dated)});
        EXPECT_TRUE(view.logLinesStartingWith("START").empty());
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        EXPECT_EQ(view.warningBoxes.size(), 1u);
        expectOutsideUntouched();
        EXPECT_EQ(readFile(path("outside/kept")), "somebody else's");
        EXPECT_EQ(fs::symlink_status(path(dated)).type(), kind);
    }
}

TEST_F(TargetRootsTest, DatestampedFolderSwappedBeforeThePassIsNeverWrittenThrough) {
    // checked, then swapped for a link: before the target tree is rebuilt, and after it
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
        fs::rename(path(dated), path("aside"));
        fs::create_directory_symlink(path("outside"), path(dated));
    };
    for (const bool beforeRebuild : {true, false}) {
        SCOPED_TRACE(beforeRebuild);
        fs::remove_all(path(dated));
        fs::remove_all(path("aside"));
        SwapView swapping(state);
        Engine swapped(table, swapping, state, format, clock);
        if (beforeRebuild)
            swapping.swap = swapForLink;
        else
            swapped.setProbe([&](Engine::ProbePoint point, const std::string&) {
                if (point == Engine::ProbePoint::FoldersRebuilt)
                    swapForLink();
            });
        setProfile(1, "BackUP", "Daily", path("src"), path("dst"), "NPAODF");
        swapped.runProfile();
        ASSERT_TRUE(fs::is_symlink(path(dated)));
        expectOutsideUntouched();
        EXPECT_EQ(swapping.logLinesStartingWith("   Error 1921 -> " + path(dated)).size(), 1u)
            << ::testing::PrintToString(swapping.log);
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        EXPECT_FALSE(exists("aside/sub/b"));
    }
}

TEST_F(TargetRootsTest, LeftOutFolderGoesFromBothListsWhereverItStandsAmongItsSiblings) {
    for (const char* name : {"A", "B", "C"})
        makeFolder("src/" + std::string(name) + "/below");
    for (const std::string target : {"src/A", "src/B", "src/C"}) {
        SCOPED_TRACE(target);
        preparePass(path("src"), path(target));
        engine.transferPass();
        // the root, sub, and the two other letters with their "below"
        ASSERT_EQ(state.ListBox1.size(), 6u);
        ASSERT_EQ(state.ListBox2.size(), 6u);
        for (std::size_t i = 1; i < state.ListBox1.size(); ++i) {
            EXPECT_EQ(state.ListBox2[i], path(target) + state.ListBox1[i].substr(root.size() + 4));
            EXPECT_FALSE((state.ListBox1[i] + "/").starts_with(path(target) + "/"));
        }
        fs::remove_all(path(target));
        makeFolder(target + "/below");
    }
}

TEST_F(TargetRootsTest, RootBindMountedInsideTheOtherTreeIsLeftOut) {
    // a backup's target inside its source; a synchronisation's target inside its source
    // (first pass) and its source inside its target (second pass)
    const struct {
        const char* type;
        std::string outer, inner;
    } cases[] = {{"BackUP", "src", "dst"}, {"Syncro", "src", "dst"}, {"Syncro", "dst", "src"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type + (" with " + c.inner + " in " + c.outer));
        makeFolder(c.outer + "/mnt");
        {
            BindMount bind(path(c.inner), path(c.outer + "/mnt"));
            QM_REQUIRE_MOUNTED(bind);
            const ReturnToFolder leave(startDir);
            setProfile(1, c.type, "Home", path("src"), path("dst"));
            for (int round = 0; round < 2; ++round) {
                run(engine);
                EXPECT_EQ(view.logLinesStartingWith(LeftOut),
                          std::vector<std::string>{LeftOut + path(c.outer + "/mnt")});
                EXPECT_EQ(table.cell(ColStatus, 1), "Done");
            }
            EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> ").back(),
                      " Files Updated -> 0");
            EXPECT_EQ(mntDepth(c.outer), 1); // never the backup backed up into itself
            EXPECT_EQ(mntDepth(c.inner), 0);
            EXPECT_EQ(readFile(path("dst/sub/b")), "also from source");
        }
        fs::remove(path(c.outer + "/mnt"));
    }
}

TEST_F(TargetRootsTest, LinkToTheTargetInsideTheSourceIsCopiedAsALink) {
    fs::create_directory_symlink(path("dst"), path("src/toBackup"));
    setProfile(1, "BackUP", "Home", path("src"), path("dst"));
    run(engine);
    EXPECT_TRUE(view.logLinesStartingWith(LeftOut).empty());
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    EXPECT_EQ(fs::read_symlink(path("dst/toBackup")), path("dst"));
    EXPECT_EQ(readFile(path("dst/sub/b")), "also from source");
}

} // namespace
} // namespace qm::test
