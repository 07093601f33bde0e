#include "engine_fixture.h"
#include "file_bytes.h"

#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace qm::test {
namespace {

using Point = Engine::ProbePoint;

/// A folder of the trees swapped for a link to a folder outside them, at a named moment.
class SwappedFolderTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src/a/deep");
        makeFolder("src/b");
        writeFile("src/top", "top");
        writeFile("src/a/f1", "one");
        writeFile("src/a/f2", "two");
        writeFile("src/a/deep/h", "deep");
        writeFile("src/b/g", "gee");
        makeFolder("dst");
        makeFolder("outside");
        writeFile("outside/f1", "planted");
        setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
        preparePass(path("src"), path("dst"));
    }
    void TearDown() override {
        engine.setProbe({});
        EngineTest::TearDown();
    }

    /// Moves `relative` aside (to `aside`) and puts a link to "outside" in its place.
    void swapForLink(const std::string& relative, const std::string& aside) const {
        ASSERT_EQ(::rename(path(relative).c_str(), path(aside).c_str()), 0) << relative;
        ASSERT_EQ(::symlink(path("outside").c_str(), path(relative).c_str()), 0) << relative;
    }
    /// Names in "outside": only what the test put there.
    std::vector<std::string> outsideNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(path("outside")))
            names.push_back(entry.path().filename().string());
        return names;
    }
    /// The other folders are copied whatever happened to "a".
    void expectOthersCopied() const {
        EXPECT_EQ(readFile(path("dst/top")), "top");
        EXPECT_EQ(readFile(path("dst/b/g")), "gee");
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        EXPECT_GE(state.FoldersFailed, 1);
    }
};

TEST_F(SwappedFolderTest, TargetFolderSwappedAfterTheRebuildIsNamedAndNeverWritten) {
    // at each moment between the rebuild and the folder's first file
    for (const Point moment : {Point::FoldersRebuilt, Point::BeforeListing}) {
        SCOPED_TRACE(static_cast<int>(moment));
        fs::remove_all(path("dst"));
        fs::remove_all(path("dst-a"));
        makeFolder("dst");
        view.log.clear();
        state.FoldersFailed = 0;
        state.FilesFailed = 0;
        preparePass(path("src"), path("dst"));
        bool swapped = false;
        engine.setProbe([&](Point point, const std::string& at) {
            if (point == moment && !swapped &&
                (moment == Point::FoldersRebuilt || at == path("src/a"))) {
                swapped = true;
                swapForLink("dst/a", "dst-a");
            }
        });
        engine.transferPass();
        ASSERT_TRUE(swapped);

        EXPECT_EQ(outsideNames(), std::vector<std::string>{"f1"});
        EXPECT_EQ(readFile(path("outside/f1")), "planted");
        EXPECT_EQ(view.logLinesStartingWith("   Error 1921 -> " + path("dst/a")).size(), 2u)
            << ::testing::PrintToString(view.log); // the folder and the one below it
        EXPECT_EQ(view.logLinesStartingWith("   Error 1921 -> " + path("dst/a/deep")).size(), 1u);
        EXPECT_TRUE(fs::is_empty(path("dst-a/deep")));
        EXPECT_EQ(state.FilesFailed, 3); // f1, f2 and deep/h
        EXPECT_TRUE(view.logLinesStartingWith("   " + path("src/a/")).empty());
        expectOthersCopied();
    }
}

TEST_F(SwappedFolderTest, SourceFolderSwappedDuringThePassIsNamedAndNeverRead) {
    engine.setProbe([&](Point point, const std::string& at) {
        if (point == Point::BeforeListing && at == path("src/a"))
            swapForLink("src/a", "src-a");
    });
    engine.transferPass();

    EXPECT_FALSE(exists("dst/a/f1"));
    EXPECT_FALSE(exists("dst/a/f2"));
    EXPECT_FALSE(exists("dst/a/deep/h"));
    EXPECT_EQ(view.logLinesStartingWith("   Error 1921 -> " + path("src/a")).size(), 2u)
        << ::testing::PrintToString(view.log);
    EXPECT_TRUE(view.logLinesStartingWith("   " + path("src/a/")).empty());
    EXPECT_EQ(readFile(path("outside/f1")), "planted");
    expectOthersCopied();
}

TEST_F(SwappedFolderTest, FolderSwappedAfterItWasOpenedIsStillTheOneWorkedOn) {
    // Once a folder is open its files are read from it and written into it, wherever it was
    // moved; the link put in its place is never used.
    struct Swap {
        Point point;
        std::string at, folder, aside;
    };
    const Swap swaps[] = {
        {Point::BeforeOpen, path("src/a/f1"), "src/a", "src-a"},
        {Point::BeforeOpen, path("src/a/f1"), "dst/a", "dst-a"},
        {Point::BeforeWriteOut, path("dst/top"), "dst/a", "dst-a"},
    };
    for (const Swap& swap : swaps) {
        SCOPED_TRACE(swap.folder + " at " + std::to_string(static_cast<int>(swap.point)));
        for (const char* folder : {"dst", "dst-a", "src-a"})
            fs::remove_all(path(folder));
        makeFolder("dst");
        preparePass(path("src"), path("dst"));
        bool swapped = false;
        engine.setProbe([&](Point point, const std::string& at) {
            if (point == swap.point && at == swap.at && !swapped) {
                swapped = true;
                swapForLink(swap.folder, swap.aside);
            }
        });
        engine.transferPass();
        ASSERT_TRUE(swapped);

        EXPECT_EQ(outsideNames(), std::vector<std::string>{"f1"});
        EXPECT_EQ(readFile(path("outside/f1")), "planted");
        const std::string copies = swap.folder == "dst/a" ? "dst-a" : "dst/a";
        EXPECT_EQ(readFile(path(copies + "/f1")), "one");
        EXPECT_EQ(readFile(path(copies + "/f2")), "two");
        EXPECT_TRUE(tempsIn(copies).empty());
        EXPECT_EQ(readFile(path("dst/top")), "top");
        EXPECT_EQ(readFile(path("dst/b/g")), "gee");
        if (fs::is_symlink(path("src/a"))) {
            ASSERT_EQ(::unlink(path("src/a").c_str()), 0);
            ASSERT_EQ(::rename(path("src-a").c_str(), path("src/a").c_str()), 0);
        }
    }
}

TEST_F(SwappedFolderTest, FolderIsNeverMadeThroughALinkSwappedInAbove) {
    // Swapped while the folder below it is being made: the new folder would land outside.
    struct SwapView : RecordingView {
        using RecordingView::RecordingView;
        void setStatus(const std::string& text) override {
            RecordingView::setStatus(text);
            if (text == "Reconstructing folders..." + at && swap)
                std::exchange(swap, nullptr)();
        }
        std::string at;
        std::function<void()> swap;
    } swapping(state);
    swapping.at = path("dst/a/deep");
    swapping.swap = [&] { swapForLink("dst/a", "dst-a"); };
    Engine engine2(table, swapping, state, format, clock);
    engine2.transferPass();

    EXPECT_FALSE(swapping.swap);
    EXPECT_EQ(outsideNames(), std::vector<std::string>{"f1"});
    EXPECT_EQ(swapping.logLinesStartingWith("   Error 1921 -> " + path("dst/a/deep")).size(), 1u)
        << ::testing::PrintToString(swapping.log);
    EXPECT_EQ(readFile(path("dst/top")), "top");
    EXPECT_EQ(readFile(path("dst/b/g")), "gee");
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
}

} // namespace
} // namespace qm::test

namespace qm::test {
namespace {

class FolderHandleLimitTest : public EngineTest {};

TEST_F(FolderHandleLimitTest, FoldersOfABatchStayWithinTheDescriptorLimit) {
    // Each pending copy keeps its folder open until its rename: a batch across many folders
    // must not run out of descriptors, nor may a folder stay open after its copies.
    for (int i = 0; i < 150; ++i) {
        makeFolder("src/f" + std::to_string(i));
        writeFile("src/f" + std::to_string(i) + "/file", std::to_string(i));
    }
    makeFolder("dst");
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
    preparePass(path("src"), path("dst"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(10);
        Engine limited(table, view, state, format, clock);
        try {
            limited.transferPass();
        } catch (...) {
            ::_exit(11);
        }
        ::_exit(table.cell(ColStatus, 1) == "Done" && state.FilesUpdated == 150 ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int i = 0; i < 150; i += 37)
        EXPECT_EQ(readFile(path("dst/f" + std::to_string(i) + "/file")), std::to_string(i));
}

} // namespace
} // namespace qm::test
