// Backups onto the media people carry: FAT32 and exFAT images mounted as a USB stick is.

#include "engine_fixture.h"
#include "file_bytes.h"
#include "file_ops.h"
#include "mounted_medium.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

struct MediumCase {
    const char* name;
    MountedMedium::Kind kind;
};

class RealMediaTest : public EngineTest, public ::testing::WithParamInterface<MediumCase> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src/ok");
        makeFolder("src/Photos 2026:01");
        makeFolder("dst");
        writeFile("src/plain.txt", "plain");
        writeFile("src/Meeting 10:30.txt", "the medium refuses this name");
        writeFile("src/Photos 2026:01/p.jpg", "inside a folder the medium refuses");
        writeFile("src/ok/q.bin", std::string(300000, 'q'));
        // older than the run, on an even second: FAT keeps two-second times
        setTime("src/plain.txt", 1700000000);
        setTime("src/ok/q.bin", 1700000100);
    }
    std::vector<std::string> errorLines() const { return view.logLinesStartingWith("   Error "); }
};

TEST_P(RealMediaTest, RefusedNamesFailAloneAndTheRunEndsAsAnError) {
    MountedMedium medium(GetParam().kind, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);

    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    engine.runProfile();
    const std::string log = ::testing::PrintToString(view.log);

    // each refused name once, the file below the refused folder not tried
    const std::vector<std::string> errors = errorLines();
    ASSERT_EQ(errors.size(), 2u) << log;
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](const std::string& line) {
        return line.ends_with(" -> " + path("dst/Meeting 10:30.txt"));
    })) << log;
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](const std::string& line) {
        return line.ends_with(" -> " + path("dst/Photos 2026:01"));
    })) << log;
    EXPECT_EQ(view.logLinesStartingWith(" Files Failed  -> 2").size(), 1u) << log;
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 2").size(), 1u) << log;
    EXPECT_TRUE(view.topLevelErrors.empty()) << log;
    EXPECT_EQ(view.warningBoxes.size(), 1u);
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");

    EXPECT_EQ(readFile(path("dst/plain.txt")), "plain");
    // the medium keeps the time, to its own two-second or one-second grain
    const auto kept = statPath(path("dst/plain.txt"));
    ASSERT_TRUE(kept);
    EXPECT_LE(kept->mtime.tv_sec - 1700000000, 1);
    EXPECT_GE(kept->mtime.tv_sec - 1700000000, -1);
    EXPECT_EQ(readFile(path("dst/ok/q.bin")), std::string(300000, 'q'));
    EXPECT_TRUE(tempsIn("dst").empty());
    EXPECT_TRUE(tempsIn("dst/ok").empty());

    // The next run copies nothing again and asks nothing: the medium's coarser times still
    // compare equal.
    view.log.clear();
    view.warningBoxes.clear();
    engine.runProfile();
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 0").size(), 1u)
        << ::testing::PrintToString(view.log);
    EXPECT_EQ(errorLines().size(), 2u);
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_TRUE(view.questions.empty());

    // A newer source is copied again within the medium's two-second slot.
    writeFile("src/plain.txt", "plain, edited");
    setTime("src/plain.txt", 1700000004);
    view.log.clear();
    engine.runProfile();
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 1").size(), 1u)
        << ::testing::PrintToString(view.log);
    EXPECT_EQ(readFile(path("dst/plain.txt")), "plain, edited");
}

TEST_P(RealMediaTest, PermissionsTheMediumCannotKeepAreSaidOnceWithACount) {
    MountedMedium medium(GetParam().kind, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);
    ASSERT_EQ(::chmod(path("src/plain.txt").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(path("src/ok/q.bin").c_str(), 0640), 0);
    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    engine.runProfile();
    EXPECT_EQ(view.logLinesStartingWith(" Permissions Not Kept"),
              std::vector<std::string>{" Permissions Not Kept by the Target -> 2"});
}

TEST_P(RealMediaTest, NamesDifferingOnlyInCaseAreNeverMerged) {
    MountedMedium medium(GetParam().kind, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);
    writeFile("src/Notes.txt", "capital");
    writeFile("src/notes.txt", "small");
    makeFolder("src/Album");
    makeFolder("src/album");
    writeFile("src/Album/a.jpg", "a");
    writeFile("src/album/b.jpg", "b");
    // twice each: a later run must not write either over the other
    for (const char* type : {"BackUP", "BackUP", "Syncro", "Syncro"}) {
        SCOPED_TRACE(type);
        view.log.clear();
        setProfile(1, type, "Stick", path("src"), path("dst"));
        engine.runProfile();
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        const auto named = view.logLinesStartingWith("   Error (the target takes it for ");
        ASSERT_EQ(named.size(), 2u) << ::testing::PrintToString(view.log);
        // whichever the folder listed first went; the medium holds that one alone
        const bool capitalFirst = std::any_of(named.begin(), named.end(), [&](auto& line) {
            return line.ends_with(" -> " + path("src/notes.txt"));
        });
        EXPECT_EQ(readFile(path("dst/notes.txt")), capitalFirst ? "capital" : "small");
        const bool albumFirst = std::any_of(named.begin(), named.end(), [&](auto& line) {
            return line.ends_with(" -> " + path("src/album"));
        });
        EXPECT_EQ(statPath(path("dst/album/a.jpg")).has_value(), albumFirst);
        EXPECT_EQ(statPath(path("dst/album/b.jpg")).has_value(), !albumFirst);
        // the source keeps both, untouched
        EXPECT_EQ(readFile(path("src/Notes.txt")), "capital");
        EXPECT_EQ(readFile(path("src/notes.txt")), "small");
        EXPECT_FALSE(statPath(path("src/Album/b.jpg")));
        EXPECT_FALSE(statPath(path("src/album/a.jpg")));
    }
}

TEST_P(RealMediaTest, AFileLargerThanTheFreeSpaceFailsAlone) {
    MountedMedium medium(GetParam().kind, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);
    // sparse here, but written whole there: 100 MiB onto a stick of 40 MiB or less
    makeFolder("src/big");
    writeFile("src/big/disk.img", "");
    ASSERT_EQ(::truncate(path("src/big/disk.img").c_str(), 100 << 20), 0);
    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    engine.runProfile();
    EXPECT_TRUE(view.topLevelErrors.empty()) << view.topLevelErrors.front();
    // 112 where the medium tells its free space (exFAT); fusefat tells none, and its full
    // medium refuses the write itself (5)
    const std::vector<std::string> errors = errorLines();
    EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                            [&](const std::string& line) {
                                return line.ends_with(" -> " + path("dst/big/disk.img"));
                            }),
              1)
        << ::testing::PrintToString(errors);
    EXPECT_FALSE(statPath(path("dst/big/disk.img")));
    EXPECT_EQ(readFile(path("dst/plain.txt")), "plain");
    EXPECT_EQ(readFile(path("dst/ok/q.bin")).size(), 300000u);
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
}

TEST_P(RealMediaTest, SparseSourceIsWrittenWholeWithItsZeros) {
    MountedMedium medium(GetParam().kind, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);
    // holes at the start, between and after the data; the medium has none to keep
    {
        std::ofstream out(path("src/ok/sparse.bin"), std::ios::binary);
        out.seekp(700000);
        out << "middle";
        out.seekp(2100000);
        out << "late";
    }
    ASSERT_EQ(::truncate(path("src/ok/sparse.bin").c_str(), 3000000), 0);

    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    engine.runProfile();
    const std::string copy = readFile(path("dst/ok/sparse.bin"));
    ASSERT_EQ(copy.size(), 3000000u) << ::testing::PrintToString(view.log);
    EXPECT_TRUE(copy == readFile(path("src/ok/sparse.bin")));
    EXPECT_EQ(copy.substr(700000, 6), "middle");
    EXPECT_EQ(copy.find_first_not_of('\0', 2100004), std::string::npos);
}

TEST_P(RealMediaTest, CopyCarriesItsSourcesTimeBeforeItTakesItsName) {
    // These media lose a time set on the open file; a kill just after the rename must not
    // leave a whole copy that looks newer than its source.
    MountedMedium medium(GetParam().kind, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);
    makeFolder("src/solo"); // its one temporary is the copy's
    writeFile("src/solo/big.bin", std::string(3 << 20, 'b'));
    setTime("src/solo/big.bin", 1700000200);
    std::vector<std::int64_t> offBy;
    engine.setProbe([&](Engine::ProbePoint point, const std::string& target) {
        if (point != Engine::ProbePoint::BeforeName || target != path("dst/solo/big.bin"))
            return;
        for (const auto& entry : std::filesystem::directory_iterator(path("dst/solo")))
            if (const auto temp = statPath(entry.path().string()))
                offBy.push_back(temp->mtime.tv_sec - 1700000200);
    });
    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    engine.runProfile();
    engine.setProbe({});
    ASSERT_EQ(offBy.size(), 1u) << "the temporary alone, before its rename";
    for (const std::int64_t off : offBy)
        EXPECT_LE(std::abs(off), 1); // the medium's own grain
    const auto kept = statPath(path("dst/solo/big.bin"));
    ASSERT_TRUE(kept);
    EXPECT_LE(std::abs(kept->mtime.tv_sec - 1700000200), 1);
}

TEST_P(RealMediaTest, AKillBeforeTheTimeIsSetAgainIsMendedByTheNextRun) {
    // fusefat gives a renamed file the time of its rename
    MountedMedium medium(GetParam().kind, path("medium.img"), path("dst"));
    QM_REQUIRE_MOUNTED(medium);
    const ReturnToFolder leave(startDir);
    setProfile(1, "BackUP", "Stick", path("src"), path("dst"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        engine.setProbe([&](Engine::ProbePoint point, const std::string& target) {
            if (point == Engine::ProbePoint::BeforeTimeKept && target == path("dst/plain.txt"))
                ::_exit(0);
        });
        engine.runProfile();
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended before its kill";
    ASSERT_EQ(readFile(path("dst/plain.txt")), "plain");

    engine.runProfile();
    const auto kept = statPath(path("dst/plain.txt"));
    ASSERT_TRUE(kept);
    EXPECT_LE(std::abs(kept->mtime.tv_sec - 1700000000), 1);
    // a newer source, though older than the kill, is taken for a change
    writeFile("src/plain.txt", "newer");
    setTime("src/plain.txt", 1700000500);
    engine.runProfile();
    EXPECT_EQ(readFile(path("dst/plain.txt")), "newer");
}

INSTANTIATE_TEST_SUITE_P(Media, RealMediaTest,
                         ::testing::Values(MediumCase{"Fat32", MountedMedium::Kind::Fat32},
                                           MediumCase{"Exfat", MountedMedium::Kind::Exfat}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qm::test
