// Backups on file systems that share extents (btrfs, XFS): copies within one of them are
// clones; sparse files stay sparse there whichever way they came.

#include "engine_fixture.h"
#include "file_bytes.h"
#include "mounted_medium.h"

#include <fcntl.h>
#include <filesystem>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qm::test {
namespace {

struct MediumCase {
    const char* name;
    MountedMedium::Kind kind;
};

std::string patterned(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 13 + seed + i / 4096) & 0xff);
    return bytes;
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

/// A 64 MiB file with data in three places and a trailing hole.
void writeSparse(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    ASSERT_GE(fd, 0);
    const std::pair<off_t, std::string> pieces[] = {
        {0, patterned(8192, 1)}, {(5 << 20) + 77, patterned(900000, 2)}, {40 << 20, "end"}};
    for (const auto& [offset, bytes] : pieces)
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset),
                  static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::ftruncate(fd, 64 << 20), 0);
    ASSERT_EQ(::close(fd), 0);
}

/// The extents of a file as FIEMAP tells them after a write-out: how many, and how many of
/// them it shares with another file.
std::pair<int, int> sharedExtents(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {-1, -1};
    constexpr int Room = 256;
    std::vector<char> space(sizeof(fiemap) + Room * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(space.data());
    map->fm_start = 0;
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = Room;
    std::pair<int, int> counts{-1, -1};
    if (::ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
        counts = {static_cast<int>(map->fm_mapped_extents), 0};
        for (unsigned i = 0; i < map->fm_mapped_extents; ++i)
            if (map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED)
                ++counts.second;
    }
    ::close(fd);
    return counts;
}

class CloningMediaTest : public EngineTest, public ::testing::WithParamInterface<MediumCase> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("fs");
        medium_ = std::make_unique<MountedMedium>(GetParam().kind, path("medium.img"), path("fs"));
    }
    void TearDown() override {
        // the engine enters the target's folders: leave them before the medium is unmounted
        std::filesystem::current_path(startDir);
        medium_.reset();
        EngineTest::TearDown();
    }

    /// A tree below `relative` with files of several sizes, modes and exact times.
    void makeTree(const std::string& relative) {
        makeFolder(relative + "/sub/deep");
        writeFile(relative + "/big.bin", patterned(3 << 20, 3));
        writeFile(relative + "/sub/mid.bin", patterned(700000, 4));
        writeFile(relative + "/sub/deep/small.txt", "small");
        writeFile(relative + "/empty", "");
        writeFile(relative + "/tool", "#!/bin/sh\necho tool\n");
        writeSparse(path(relative + "/sparse.img"));
        ASSERT_EQ(::chmod(path(relative + "/tool").c_str(), 0750), 0);
        ASSERT_EQ(::chmod(path(relative + "/sub/mid.bin").c_str(), 0604), 0);
        setTime(relative + "/big.bin", 1700000001, 123456789);
        setTime(relative + "/sub/mid.bin", 1600000000, 5);
        setTime(relative + "/sub/deep/small.txt", 1500000000, 999999999);
        setTime(relative + "/empty", 1400000000);
        setTime(relative + "/tool", 1700000002, 1);
        setTime(relative + "/sparse.img", 1700000003, 42);
    }

    /// Every file of the tree arrived with its bytes, time and mode.
    void expectSameTree(const std::string& from, const std::string& to) {
        for (const char* name :
             {"big.bin", "sub/mid.bin", "sub/deep/small.txt", "empty", "tool", "sparse.img"}) {
            const std::string source = path(from + "/" + name), copy = path(to + "/" + name);
            EXPECT_TRUE(readFile(copy) == readFile(source)) << name;
            const struct stat s = statOf(source), c = statOf(copy);
            EXPECT_EQ(c.st_size, s.st_size) << name;
            EXPECT_EQ(c.st_mtim.tv_sec, s.st_mtim.tv_sec) << name;
            EXPECT_EQ(c.st_mtim.tv_nsec, s.st_mtim.tv_nsec) << name;
            EXPECT_EQ(c.st_mode, s.st_mode) << name;
        }
        // the holes stayed holes: the data and a little metadata
        const struct stat sparse = statOf(path(to + "/sparse.img"));
        EXPECT_LE(sparse.st_blocks * 512, 4 << 20) << "sparse.img takes " << sparse.st_blocks;
        EXPECT_TRUE(tempsIn(to).empty());
    }

    void backUp(const std::string& from, const std::string& to) {
        setProfile(1, "BackUP", "Clone", path(from), path(to));
        engine.runProfile();
        const std::string log = ::testing::PrintToString(view.log);
        EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 6").size(), 1u) << log;
        EXPECT_TRUE(view.logLinesStartingWith("   Error ").empty()) << log;
        EXPECT_TRUE(view.topLevelErrors.empty()) << log;
        EXPECT_EQ(table.cell(ColStatus, 1), "Done") << log;
    }

    std::unique_ptr<MountedMedium> medium_;
};

#define REQUIRE_MEDIUM() QM_REQUIRE_MOUNTED(*medium_)

TEST_P(CloningMediaTest, BackupWithinTheFileSystemSharesTheSourcesExtents) {
    REQUIRE_MEDIUM();
    makeTree("fs/src");
    makeFolder("fs/dst");
    ::sync(); // the sources' extents exist before anything could share them
    backUp("fs/src", "fs/dst");
    expectSameTree("fs/src", "fs/dst");
    for (const char* name : {"big.bin", "sub/mid.bin", "sparse.img"}) {
        const auto [extents, shared] = sharedExtents(path("fs/dst/") + name);
        EXPECT_GT(extents, 0) << name;
        EXPECT_EQ(shared, extents) << name << ": a copy of its own, not a clone";
    }

    // an unchanged second run writes nothing
    view.log.clear();
    engine.runProfile();
    EXPECT_EQ(view.logLinesStartingWith(" Files Updated -> 0").size(), 1u)
        << ::testing::PrintToString(view.log);
}

TEST_P(CloningMediaTest, BackupFromAnotherFileSystemKeepsHoles) {
    REQUIRE_MEDIUM();
    makeTree("src"); // on the test folder's own file system
    makeFolder("fs/dst");
    backUp("src", "fs/dst");
    expectSameTree("src", "fs/dst");
    const auto [extents, shared] = sharedExtents(path("fs/dst/big.bin"));
    EXPECT_GT(extents, 0);
    EXPECT_EQ(shared, 0);
}

INSTANTIATE_TEST_SUITE_P(Media, CloningMediaTest,
                         ::testing::Values(MediumCase{"Btrfs", MountedMedium::Kind::Btrfs},
                                           MediumCase{"Xfs", MountedMedium::Kind::Xfs}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qm::test
