#include "as_nobody.h"
#include "engine_fixture.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <unistd.h>

namespace qm::test {
namespace {

using Strings = std::vector<std::string>;

/// The two names of `folder` in the order the file system lists them.
std::pair<std::string, std::string> listedOrder(const std::string& folder, const std::string& a,
                                                const std::string& b) {
    for (auto& entry : std::filesystem::directory_iterator(folder)) {
        auto name = entry.path().filename().string();
        if (name == a)
            return {a, b};
        if (name == b)
            return {b, a};
    }
    return {a, b};
}

class FolderScanTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("R/A/A1/X");
        makeFolder("R/A/A2");
        makeFolder("R/B/B1");
        writeFile("R/f", "data");
    }
    Strings sources, targets;
};

TEST_F(FolderScanTest, ListsEveryFolderDepthFirstInBlocksAndCountsEveryEntry) {
    const std::string R = path("R");
    engine.ScanFolderTree(sources, targets, R, "/backup/T");

    auto [first, second] = listedOrder(R, "A", "B");
    auto [a1, a2] = listedOrder(R + "/A", "A1", "A2");
    // A folder's subfolders come as one block before any of them is descended into.
    Strings aBlock = {R + "/A/" + a1, R + "/A/" + a2, R + "/A/A1/X"};
    Strings bBlock = {R + "/B/B1"};
    Strings expected = {R + "/" + first, R + "/" + second};
    for (auto* block : first == "A" ? std::array{&aBlock, &bBlock} : std::array{&bBlock, &aBlock})
        expected.insert(expected.end(), block->begin(), block->end());
    EXPECT_EQ(sources, expected);

    ASSERT_EQ(targets.size(), sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i)
        EXPECT_EQ(targets[i], "/backup/T" + sources[i].substr(R.size())) << i;

    // 5 + 4 + 3 + 2 + 2 + 3 + 2: "." and ".." and the file included
    EXPECT_EQ(state.ScannedEntryCount, 21);

    // A folder's status is shown after everything below it has been scanned.
    Strings shown;
    for (auto& text : view.statuses) {
        ASSERT_TRUE(text.starts_with("Scanning Folders...")) << text;
        shown.push_back(text.substr(19));
    }
    ASSERT_EQ(shown.size(), 6u);
    auto at = [&](const std::string& p) {
        return std::find(shown.begin(), shown.end(), R + p) - shown.begin();
    };
    EXPECT_LT(at("/A/A1/X"), at("/A/A1"));
    EXPECT_LT(at("/A/A1"), at("/A"));
    EXPECT_LT(at("/A/A2"), at("/A"));
    EXPECT_LT(at("/B/B1"), at("/B"));
    EXPECT_EQ(view.pumps, 6);
}

TEST_F(FolderScanTest, RootsWithOrWithoutSeparatorGiveSingleSeparators) {
    engine.ScanFolderTree(sources, targets, path("R/B/"), "/");
    EXPECT_EQ(sources, Strings{path("R/B/B1")});
    EXPECT_EQ(targets, Strings{"/B1"});

    Strings again, againTargets;
    engine.ScanFolderTree(again, againTargets, path("R/B"), path("T/"));
    EXPECT_EQ(again, Strings{path("R/B/B1")});
    EXPECT_EQ(againTargets, Strings{path("T/B1")});
}

TEST_F(FolderScanTest, RootWithoutSubfoldersCountsItsEntriesOnly) {
    engine.ScanFolderTree(sources, targets, path("R/A/A2"), path("T"));
    EXPECT_TRUE(sources.empty());
    EXPECT_TRUE(targets.empty());
    EXPECT_EQ(state.ScannedEntryCount, 2);
}

TEST_F(FolderScanTest, DotFoldersAndLinksAreCountedButNeverEntered) {
    makeFolder("R/.git/objects");
    writeFile("R/.git/objects/pack", "x");
    ASSERT_EQ(::symlink(path("R/A").c_str(), path("R/linkToA").c_str()), 0);
    ASSERT_EQ(::symlink("..", path("R/B/B1/loop").c_str()), 0);

    engine.ScanFolderTree(sources, targets, path("R"), path("T"));

    EXPECT_EQ(sources.size(), 6u);
    for (auto& s : sources) {
        EXPECT_EQ(s.find(".git"), std::string::npos) << s;
        EXPECT_EQ(s.find("link"), std::string::npos) << s;
        EXPECT_EQ(s.find("loop"), std::string::npos) << s;
    }
    EXPECT_EQ(state.ScannedEntryCount, 21 + 3); // .git, linkToA, loop
    // left out, but named once each: a user must be told what is not backed up
    EXPECT_EQ(view.log, Strings{" Left out (a hidden folder) -> " + path("R/.git")});
    EXPECT_EQ(state.HiddenFoldersLeftOut, 1);
}

TEST_F(FolderScanTest, UnlistableFolderStaysInTheListsWithNothingBelow) {
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(path("R/A").c_str(), 0), 0);
    int status = runAsNobody([&] {
        engine.ScanFolderTree(sources, targets, path("R"), path("T"));
        bool listed = std::find(sources.begin(), sources.end(), path("R/A")) != sources.end();
        bool below = std::find(sources.begin(), sources.end(), path("R/A/A1")) != sources.end();
        // R (5) + B (3) + B1 (2); A contributes nothing
        return listed && !below && state.ScannedEntryCount == 10 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
} // namespace qm::test
