#include "as_nobody.h"
#include "block_file.h"
#include "engine_fixture.h"
#include "failing_read.h"
#include "file_bytes.h"
#include "file_ops.h"
#include "io_error.h"
#include "listing.h"

#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

int failingSync(int) {
    errno = EIO;
    return -1;
}

class HardenedIoTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src");
        makeFolder("dst");
        setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
        preparePass(path("src"), path("dst"));
    }
    void TearDown() override {
        setSyncHook(nullptr);
        setReadDirHook(nullptr);
        EngineTest::TearDown();
    }
};

TEST_F(HardenedIoTest, FailedWriteOutIsFinalAndLeavesTheOldTargets) {
    for (int i = 0; i < 5; ++i) {
        writeFile("src/f" + std::to_string(i), "new " + std::to_string(i));
        writeFile("dst/f" + std::to_string(i), "old");
        setTime("src/f" + std::to_string(i), 1700000000);
        setTime("dst/f" + std::to_string(i), 1600000000);
    }
    setSyncHook(failingSync);
    EXPECT_THROW(engine.transferPass(), IoError);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(readFile(path("dst/f" + std::to_string(i))), "old");
    EXPECT_TRUE(tempsIn("dst").empty());
    EXPECT_EQ(view.logLinesStartingWith("   Error 1117 -> ").size(), 5u);
    EXPECT_EQ(state.FilesUpdated, 0);
}

TEST_F(HardenedIoTest, ListingThatFailsPartWayIsNamedAndNotDone) {
    // small, and large enough that the failure comes to the reading thread
    for (const auto& [files, reads] : {std::pair{20, 5}, std::pair{600, 400}}) {
        SCOPED_TRACE(files);
        std::filesystem::remove_all(path("src"));
        std::filesystem::remove_all(path("dst"));
        makeFolder("src");
        makeFolder("dst");
        for (int i = 0; i < files; ++i)
            writeFile("src/f" + std::to_string(i), "x");
        readsBeforeFailure = 1 << 30;
        struct Arm : RecordingView {
            explicit Arm(RunState& state, int reads) : RecordingView(state), reads(reads) {}
            void setStatus(const std::string& text) override {
                RecordingView::setStatus(text);
                if (text.starts_with(" Total Folders"))
                    readsBeforeFailure = reads; // the file loop's listing fails part-way
            }
            int reads;
        } armed(state, reads);
        preparePass(path("src"), path("dst"));
        Engine engine2(table, armed, state, format, clock);
        setReadDirHook(failingReadDir);
        engine2.transferPass();
        setReadDirHook(nullptr);
        EXPECT_EQ(armed.logLinesStartingWith("   Error 1117 -> " + path("src")).size(), 1u);
        EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
        // what was listed before the failure was copied whole, nothing after it
        const auto copied =
            static_cast<int>(std::distance(std::filesystem::directory_iterator(path("dst")), {}));
        EXPECT_EQ(copied, state.FilesUpdated);
        EXPECT_GE(copied, reads - 2); // "." and ".." among them
        EXPECT_LE(copied, reads);
    }
}

TEST_F(HardenedIoTest, FileSizeLimitFailsThatFileOnly) {
    writeFile("src/big", std::string(64 * 1024, 'b'));
    writeFile("src/small", "s");
    ASSERT_TRUE(chownTree(root));
    const int status = runAsNobody([&] {
        rlimit limit{16 * 1024, 16 * 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 10;
        engine.transferPass();
        if (readFile(path("dst/small")) != "s")
            return 11;
        if (exists("dst/big"))
            return 12;
        return view.logLinesStartingWith("   Error 223 -> " + path("dst/big")).size() == 1 ? 0 : 13;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(HardenedIoTest, SetIdBitsAreKeptOnlyWithTheirOwnerAndGroup) {
    writeFile("src/tool", "#!/bin/sh\n");
    ASSERT_EQ(::chown(path("src/tool").c_str(), Nobody, Nobody), 0);
    ASSERT_EQ(::chmod(path("src/tool").c_str(), 04755), 0);
    engine.transferPass();
    struct stat st {};
    ASSERT_EQ(::stat(path("dst/tool").c_str(), &st), 0);
    if (::geteuid() == 0) {
        EXPECT_EQ(st.st_uid, Nobody); // root keeps the owner, so the bit is safe to keep
        EXPECT_EQ(st.st_mode & 07777, 04755u);
    }
    // As anybody else the copy is theirs, in their group: no program that runs as somebody
    // else's user or group.
    struct Case {
        uid_t owner;
        gid_t group;
        mode_t mode, kept;
    };
    for (const Case& c : {Case{0, 0, 04755, 0755}, Case{Nobody, 0, 02755, 0755},
                          Case{Nobody, Nobody, 02755, 02755}}) {
        SCOPED_TRACE(c.mode);
        ASSERT_TRUE(chownTree(root));
        std::filesystem::remove(path("dst/tool"));
        ASSERT_EQ(::chown(path("src/tool").c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(path("src/tool").c_str(), c.mode), 0);
        const int status = runAsNobody([&] {
            preparePass(path("src"), path("dst"));
            engine.transferPass();
            struct stat copy {};
            if (::stat(path("dst/tool").c_str(), &copy) != 0)
                return 10;
            return (copy.st_mode & 07777) == c.kept ? 0 : 11;
        });
        EXPECT_EQ(status, 0);
    }
}

TEST_F(HardenedIoTest, DatestampFolderNameStaysOneNameInsideTheTarget) {
    const std::string name = engine.datestampFolderName();
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_NE(name, ".");
    EXPECT_NE(name, "..");
    EXPECT_FALSE(name.empty());
}

TEST_F(HardenedIoTest, ComputerNameHoldingSlashesStillGivesOneFolderInsideTheTarget) {
    writeFile("src/doc.txt", "doc");
    setProfile(1, "BackUP", "Docs", path("src"), path("dst"), "NPAODF");
    // a name of the machine's own, in a namespace of this child's alone
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const char name[] = "../../escape";
        if (::unshare(CLONE_NEWUTS) != 0 || ::sethostname(name, sizeof name - 1) != 0)
            ::_exit(77);
        engine.runProfile();
        ::_exit(table.cell(ColStatus, 1) == "Done" ? 0 : 10);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no UTS namespace of our own here (needs root)";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // nothing above the target; one new folder in it, named with "_" for each "/"
    EXPECT_FALSE(std::filesystem::exists(path("escape")));
    EXPECT_FALSE(std::filesystem::exists(path("../escape")));
    std::vector<std::string> made;
    for (const auto& entry : std::filesystem::directory_iterator(path("dst")))
        made.push_back(entry.path().filename().string());
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(made[0].starts_with(".._.._escape")) << made[0];
    EXPECT_EQ(readFile(path("dst/" + made[0] + "/doc.txt")), "doc");
}

TEST_F(HardenedIoTest, CopiesTheirOwnerMayNotReadAreStillWrittenOutAndPutInPlace) {
    // root's files that anybody may read, backed up by somebody else: the copies are theirs
    // with the same mode, which lets not even them read them again
    for (int i = 0; i < 20; ++i) {
        const std::string name = "src/f" + std::to_string(i);
        writeFile(name, "bytes of " + std::to_string(i));
        ASSERT_EQ(::chmod(path(name).c_str(), 0004), 0);
    }
    ASSERT_EQ(::chown(path("dst").c_str(), Nobody, Nobody), 0);
    ASSERT_EQ(::chown(startFolder.c_str(), Nobody, Nobody), 0);
    const int status = runAsNobody([&] {
        engine.transferPass();
        for (int i = 0; i < 20; ++i) {
            struct stat st {};
            if (::stat(path("dst/f" + std::to_string(i)).c_str(), &st) != 0)
                return 10 + i;
            if (st.st_size != static_cast<off_t>(("bytes of " + std::to_string(i)).size()) ||
                (st.st_mode & 07777) != 0004)
                return 40 + i;
        }
        return table.cell(ColStatus, 1) == "Done" ? 0 : 99;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
} // namespace qm::test
