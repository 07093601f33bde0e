// The newest version of a file is never lost: a copy takes its name only over the entry its
// decision looked at, a synchronisation leaves a link and a file under one name alone, and a
// version replaced after edits on both sides is kept under a conflict name.

#include "conflict_name.h"
#include "engine_fixture.h"
#include "file_bytes.h"
#include "mounted_medium.h"
#include "sync_record.h"
#include "temp_journal.h"

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace qm::test {
namespace {

constexpr std::time_t Hour = 3600;

/// Every file's bytes in a tree, by path below its root.
std::map<std::string, std::string> filesIn(const std::string& root) {
    std::map<std::string, std::string> files;
    for (auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && !entry.is_symlink())
            files[fs::relative(entry.path(), root).string()] = readFile(entry.path().string());
    return files;
}

/// Names in a folder that carry the conflict mark.
std::vector<std::string> conflictCopiesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().find(" (conflict ") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

TEST(ConflictName, MarksTheStemAndKeepsTheExtensionWithinTheNameLimit) {
    // 2026-12-10 13:03 UTC: 14.03 in Berlin, where the tests run
    const timespec changed{1796907780, 0};
    struct Case {
        std::string name;
        int attempt;
        std::string expected;
    };
    const Case cases[] = {
        {"plan.txt", 1, "plan (conflict 2026-12-10 14.03).txt"},
        {"archive.tar.gz", 1, "archive.tar (conflict 2026-12-10 14.03).gz"},
        {".bashrc", 1, ".bashrc (conflict 2026-12-10 14.03)"},
        {"Makefile", 3, "Makefile (conflict 2026-12-10 14.03 3)"},
        {"f (conflict 2026-12-09 10.15)", 1,
         "f (conflict 2026-12-09 10.15) (conflict 2026-12-10 14.03)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(conflictName(c.name, changed, c.attempt), c.expected) << c.name;

    // a long name of two-byte characters is cut before the mark, never inside a character
    std::string stem;
    while (stem.size() < 248)
        stem += "\xc3\xa9";
    const std::string name = conflictName(stem + ".odt", changed);
    EXPECT_LE(name.size(), 255u);
    EXPECT_TRUE(name.ends_with(" (conflict 2026-12-10 14.03).odt")) << name;
    const std::size_t stemKept =
        name.size() - std::string(" (conflict 2026-12-10 14.03).odt").size();
    EXPECT_EQ(stemKept % 2, 0u) << "a character was split";
}

class NewestVersionTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("a");
        makeFolder("b");
        now = ::time(nullptr);
    }
    /// Writes a file with an exact modification time.
    void put(const std::string& relative, const std::string& bytes, std::time_t mtime) {
        writeFile(relative, bytes);
        setTime(relative, mtime);
    }
    void runSync() {
        setProfile(1, "Syncro", "Both", path("a"), path("b"));
        engine.runProfile();
    }
    std::size_t logged(const std::string& prefix) const {
        return view.logLinesStartingWith(prefix).size();
    }
    std::time_t now = 0;
};

// What a program saves into the target between the decision and the copy's name.
enum class Save { NewerThanSource, OlderThanSource, AFolder };

struct ProbeCase {
    const char* name;
    Engine::ProbePoint point;
    bool targetThere; ///< an older target existed when the pass decided
    Save save;
};

class CommitRecheck : public NewestVersionTest,
                      public ::testing::WithParamInterface<std::tuple<ProbeCase, bool>> {};

TEST_P(CommitRecheck, ReplacesOnlyWhatTheDecisionSawOrWhatIsStillOlder) {
    const ProbeCase& c = std::get<0>(GetParam());
    std::optional<MountedMedium> medium; // no unnamed files there: named temporaries
    if (std::get<1>(GetParam())) {
        medium.emplace(MountedMedium::Kind::Exfat, path("stick.img"), path("b"));
        QM_REQUIRE_MOUNTED(*medium);
    }
    ReturnToFolder back(fs::current_path());
    put("a/notes.txt", "from a", now - Hour);
    put("a/other.txt", "another file of the batch", now - Hour);
    if (c.targetThere)
        put("b/notes.txt", "b, older", now - 2 * Hour);
    setProfile(1, "BackUP", "Docs", path("a"), path("b"));
    preparePass(path("a"), path("b"));
    bool saved = false;
    engine.setProbe([&](Engine::ProbePoint point, const std::string& where) {
        if (point != c.point || saved)
            return;
        if (point != Engine::ProbePoint::BeforeOpen &&
            point != Engine::ProbePoint::BeforeWriteOut && where != path("b/notes.txt"))
            return;
        if (point == Engine::ProbePoint::BeforeOpen && where != path("a/notes.txt"))
            return;
        saved = true;
        std::error_code gone;
        fs::remove(path("b/notes.txt"), gone);
        switch (c.save) {
        case Save::NewerThanSource:
            put("b/notes.txt", "saved in b", now);
            break;
        case Save::OlderThanSource:
            put("b/notes.txt", "restored in b, old", now - 3 * Hour);
            break;
        case Save::AFolder:
            makeFolder("b/notes.txt");
            break;
        }
    });
    engine.transferPass();
    engine.setProbe({});
    ASSERT_TRUE(saved);

    EXPECT_EQ(readFile(path("b/other.txt")), "another file of the batch");
    EXPECT_TRUE(tempsIn("b").empty());
    const std::string leftAlone =
        "   Left alone (changed since it was compared) -> " + path("b/notes.txt");
    switch (c.save) {
    case Save::NewerThanSource:
        EXPECT_EQ(readFile(path("b/notes.txt")), "saved in b");
        EXPECT_EQ(logged(leftAlone), 1u);
        EXPECT_EQ(state.FilesUpdated, 1);
        EXPECT_EQ(table.cell(ColStatus, 1), "Done");
        break;
    case Save::OlderThanSource:
        EXPECT_EQ(readFile(path("b/notes.txt")), "from a");
        EXPECT_EQ(logged(leftAlone), 0u);
        EXPECT_EQ(state.FilesUpdated, 2);
        EXPECT_EQ(table.cell(ColStatus, 1), "Done");
        break;
    case Save::AFolder:
        EXPECT_TRUE(fs::is_directory(path("b/notes.txt")));
        EXPECT_EQ(logged("   Error 5 -> " + path("b/notes.txt")), 1u);
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        break;
    }
}

using P = Engine::ProbePoint;
INSTANTIATE_TEST_SUITE_P(
    EachPointBetweenDecisionAndName, CommitRecheck,
    ::testing::Combine(
        ::testing::Values(
            ProbeCase{"NewerSaveBeforeOpenOverMissing", P::BeforeOpen, false,
                      Save::NewerThanSource},
            ProbeCase{"NewerSaveBeforeOpenOverOlder", P::BeforeOpen, true, Save::NewerThanSource},
            ProbeCase{"NewerSaveBeforeWriteOutOverMissing", P::BeforeWriteOut, false,
                      Save::NewerThanSource},
            ProbeCase{"NewerSaveBeforeWriteOutOverOlder", P::BeforeWriteOut, true,
                      Save::NewerThanSource},
            ProbeCase{"NewerSaveBeforeNameOverMissing", P::BeforeName, false,
                      Save::NewerThanSource},
            ProbeCase{"NewerSaveBeforeNameOverOlder", P::BeforeName, true, Save::NewerThanSource},
            ProbeCase{"OlderSaveBeforeNameIsReplaced", P::BeforeName, true, Save::OlderThanSource},
            ProbeCase{"OlderSaveOverMissingIsReplaced", P::BeforeWriteOut, false,
                      Save::OlderThanSource},
            ProbeCase{"FolderBeforeNameFailsTheFile", P::BeforeName, true, Save::AFolder}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "OnExfat" : "OnLocalDisk");
    });

TEST_F(NewestVersionTest, SaveDuringTheFirstPassReachesTheOtherTreeInTheSecond) {
    put("a/plan.txt", "a's version", now - Hour);
    put("b/plan.txt", "b's older version", now - 2 * Hour);
    engine.setProbe([&](Engine::ProbePoint point, const std::string& where) {
        if (point == Engine::ProbePoint::BeforeName && where == path("b/plan.txt"))
            put("b/plan.txt", "saved in b meanwhile", now);
    });
    runSync();
    engine.setProbe({});
    EXPECT_EQ(readFile(path("b/plan.txt")), "saved in b meanwhile");
    EXPECT_EQ(readFile(path("a/plan.txt")), "saved in b meanwhile");
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");
}

TEST_F(NewestVersionTest, LinkAgainstAFileUnderOneNameStaysInBothTrees) {
    for (bool linkInA : {true, false}) {
        SCOPED_TRACE(linkInA ? "link in a" : "link in b");
        const std::string linked = linkInA ? "a" : "b";
        const std::string plain = linkInA ? "b" : "a";
        fs::remove(path("a/notes.txt"));
        fs::remove(path("b/notes.txt"));
        fs::create_symlink("elsewhere.txt", path(linked + "/notes.txt"));
        put(plain + "/notes.txt", "edited yesterday", now - 24 * Hour);
        view.log.clear();
        runSync();
        EXPECT_TRUE(fs::is_symlink(path(linked + "/notes.txt")));
        EXPECT_EQ(readFile(path(plain + "/notes.txt")), "edited yesterday");
        EXPECT_EQ(logged("   Skipped (a link where the other tree has a file) -> " +
                         path(linked + "/notes.txt")),
                  1u);
        EXPECT_EQ(logged("   Skipped (a file where the other tree has a link) -> " +
                         path(plain + "/notes.txt")),
                  1u);
        EXPECT_EQ(state.FilesFailed, 0);
        EXPECT_EQ(table.cell(ColStatus, 1), "Done");
    }
}

TEST_F(NewestVersionTest, EditsOnBothSidesKeepTheReplacedVersionOnce) {
    put("a/plan.txt", "agreed", now - 3 * Hour);
    runSync();
    ASSERT_EQ(readFile(path("b/plan.txt")), "agreed");
    // edited on the stick, then on the laptop, both after that run
    put("b/plan.txt", "the stick's edit", now + 60);
    put("a/plan.txt", "the laptop's edit", now + 120);
    put("a/solo.txt", "only a changed this", now - 2 * Hour);
    put("b/solo.txt", "as it was", now - 4 * Hour);
    view.log.clear();
    runSync();

    EXPECT_EQ(readFile(path("a/plan.txt")), "the laptop's edit");
    EXPECT_EQ(readFile(path("b/plan.txt")), "the laptop's edit");
    const auto copies = conflictCopiesIn(path("b"));
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0], conflictName("plan.txt", {now + 60, 0}));
    EXPECT_EQ(readFile(path("b/" + copies[0])), "the stick's edit");
    EXPECT_EQ(logged("   Conflict (changed in both trees since the last run) -> " +
                     path("a/plan.txt") + " replaces " + path("b/plan.txt") + ", kept as " +
                     path("b/" + copies[0])),
              1u);
    EXPECT_EQ(logged(" Conflict Copies -> 1"), 2u); // in the summary of each pass
    EXPECT_EQ(conflictCopiesIn(path("a")), copies); // one run leaves both trees alike
    EXPECT_EQ(readFile(path("b/solo.txt")), "only a changed this"); // one side only: no copy
    EXPECT_EQ(table.cell(ColStatus, 1), "Done");

    // later runs carry the copy across, but make no more of it
    runSync();
    runSync();
    EXPECT_EQ(conflictCopiesIn(path("a")), copies);
    EXPECT_EQ(conflictCopiesIn(path("b")), copies);
    EXPECT_EQ(filesIn(path("a")), filesIn(path("b")));
}

TEST_F(NewestVersionTest, FirstRunKeepsWhatDiffersAndNothingThatIsTheSame) {
    put("a/same.txt", "identical bytes", now - Hour);
    put("b/same.txt", "identical bytes", now - 2 * Hour);
    put("a/diff.txt", "a's text", now - Hour);
    put("b/diff.txt", "b's text", now - 2 * Hour);
    put("a/newer-in-b.txt", "a's older text", now - 2 * Hour); // replaced by the second pass
    put("b/newer-in-b.txt", "b's newer text", now - Hour);
    runSync();
    for (const char* tree : {"a/", "b/"}) {
        SCOPED_TRACE(tree);
        EXPECT_EQ(conflictCopiesIn(path(tree)).size(), 2u);
        EXPECT_EQ(readFile(path(tree + conflictName("diff.txt", {now - 2 * Hour, 0}))), "b's text");
        EXPECT_EQ(readFile(path(tree + conflictName("newer-in-b.txt", {now - 2 * Hour, 0}))),
                  "a's older text");
        EXPECT_EQ(readFile(path(tree + std::string("newer-in-b.txt"))), "b's newer text");
        EXPECT_EQ(readFile(path(tree + std::string("same.txt"))), "identical bytes");
    }
    EXPECT_EQ(state.ConflictsKept, 2);
}

// Campaign: edits, additions and replacements in both trees between runs; after each run
// every version written since the run before still exists somewhere.
class SyncCampaign : public NewestVersionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SyncCampaign, EveryVersionWrittenBetweenRunsSurvivesTheNext) {
    std::optional<MountedMedium> medium;
    if (GetParam()) {
        medium.emplace(MountedMedium::Kind::Exfat, path("stick.img"), path("b"));
        QM_REQUIRE_MOUNTED(*medium);
    }
    ReturnToFolder back(fs::current_path());
    std::mt19937 random(20261210);
    const std::vector<std::string> names = {"plan.txt", "notes.md", "sub/data.csv", "sub/x.bin",
                                            "todo"};
    makeFolder("a/sub");
    const SyncRecord record(tempJournalFolder(), path("a"), path("b"));
    int version = 0;
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // times after the last run's start, apart by more than the two-second slot
        const std::time_t base =
            std::max(record.lastStart().value_or(timespec{now, 0}).tv_sec, now) + 10 + 10 * round;
        std::map<std::string, std::string> written; // the last version of each name and tree
        for (int edit = 0; edit < 4; ++edit) {
            const std::string tree = random() % 2 ? "a/" : "b/";
            const std::string name = names[random() % names.size()];
            const std::string bytes =
                "version " + std::to_string(++version) + " of " + name + " in " + tree;
            makeFolder(tree + "sub");
            put(tree + name, bytes, base + 3 * edit);
            written[tree + name] = bytes;
        }
        runSync();
        ASSERT_EQ(table.cell(ColStatus, 1), "Done");
        std::set<std::string> kept;
        for (const char* tree : {"a", "b"})
            for (const auto& [name, bytes] : filesIn(path(tree)))
                kept.insert(bytes);
        for (const auto& [where, bytes] : written)
            EXPECT_TRUE(kept.count(bytes)) << "lost: " << bytes;
        EXPECT_TRUE(tempsIn("b").empty() && tempsIn("b/sub").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(LocalDiskAndExfat, SyncCampaign, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Exfat" : "LocalDisk"; });

} // namespace
} // namespace qm::test
