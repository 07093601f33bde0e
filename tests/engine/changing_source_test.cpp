#include "block_file.h"
#include "engine_fixture.h"
#include "file_bytes.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qm::test {
namespace {

// A program that rewrites the source while the engine copies it: at the copy's first write,
// the source gets new bytes of the same size (as an editor saving in place does).
std::string rewrittenSource;
int rewritesLeft = 0;
char rewriteFill = 'p';
/// The rewrite puts the old modification time back (as `touch -r` or an archiver does): only
/// the change time tells.
bool rewriteKeepsTime = false;

ssize_t rewriteSourceAtFirstWrite(int fd, const void* buffer, std::size_t count) {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    const bool temporary =
        n > 0 &&
        std::string(target, static_cast<std::size_t>(n)).find("/dst/") != std::string::npos;
    // only a copy's first write, at its start
    if (temporary && rewritesLeft > 0 && ::lseek(fd, 0, SEEK_CUR) == 0) {
        --rewritesLeft;
        const char fill = rewriteFill++;
        const int source = ::open(rewrittenSource.c_str(), O_WRONLY);
        const off_t size = ::lseek(source, 0, SEEK_END);
        const std::string bytes(static_cast<std::size_t>(size), fill);
        struct stat before {};
        ::fstat(source, &before);
        // a time of its own too, so coarse time stamps cannot hide the change
        const timespec times[2] = {
            {0, UTIME_OMIT}, rewriteKeepsTime ? before.st_mtim : timespec{1700000000 + fill, 0}};
        if (::pwrite(source, bytes.data(), bytes.size(), 0) != size ||
            ::futimens(source, times) != 0)
            ::_exit(90);
        ::close(source);
    }
    return ::write(fd, buffer, count);
}

class ChangingSourceTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        makeFolder("src");
        makeFolder("dst");
        setProfile(1, "BackUP", "Docs", path("src"), path("dst"));
        preparePass(path("src"), path("dst"));
        // three blocks: the rewrite lands between the first and the last read
        writeFile("src/report.doc", std::string(1536 * 1024, 'a'));
        writeFile("dst/report.doc", "earlier backup");
        setTime("dst/report.doc", 1600000000);
        rewrittenSource = path("src/report.doc");
        rewriteFill = 'p';
        setWriteHook(rewriteSourceAtFirstWrite);
    }
    void TearDown() override {
        setWriteHook(nullptr);
        EngineTest::TearDown();
    }
};

TEST_F(ChangingSourceTest, CopyOfAFileChangedOnceIsTakenAgainWhole) {
    for (const bool keepsTime : {false, true}) {
        SCOPED_TRACE(keepsTime ? "the old time put back" : "a time of its own");
        writeFile("src/report.doc", std::string(1536 * 1024, 'a'));
        setTime("src/report.doc", 1650000000);
        writeFile("dst/report.doc", "earlier backup");
        setTime("dst/report.doc", 1600000000);
        rewriteFill = 'p';
        rewriteKeepsTime = keepsTime;
        rewritesLeft = 1;
        state.FilesUpdated = 0;
        engine.transferPass();
        // the second copy saw the rewritten file from its first byte to its last
        EXPECT_TRUE(readFile(path("dst/report.doc")) == std::string(1536 * 1024, 'p'));
        struct stat copy {};
        ASSERT_EQ(::stat(path("dst/report.doc").c_str(), &copy), 0);
        EXPECT_EQ(copy.st_mtime, keepsTime ? 1650000000 : 1700000000 + 'p'); // its bytes' time
        EXPECT_TRUE(view.logLinesStartingWith("   Error").empty());
        EXPECT_EQ(state.FilesUpdated, 1);
        EXPECT_EQ(table.cell(ColStatus, 1), "Done");
        EXPECT_TRUE(tempsIn("dst").empty());
    }
    rewriteKeepsTime = false;
}

TEST_F(ChangingSourceTest, FileThatKeepsChangingFailsAndKeepsTheEarlierCopy) {
    rewritesLeft = 2;
    engine.transferPass();
    EXPECT_TRUE(readFile(path("dst/report.doc")) == "earlier backup");
    EXPECT_EQ(view.logLinesStartingWith("   Error 1006 -> " + path("src/report.doc")).size(), 1u);
    EXPECT_EQ(view.logLinesStartingWith("      The file changed while it was being copied").size(),
              1u);
    EXPECT_EQ(state.FilesUpdated, 0);
    EXPECT_EQ(state.FilesFailed, 1);
    EXPECT_EQ(table.cell(ColStatus, 1), "ERROR");
    EXPECT_TRUE(tempsIn("dst").empty());
    // nothing is left half-done: the next run copies the settled file
    setWriteHook(nullptr);
    preparePass(path("src"), path("dst"));
    engine.transferPass();
    EXPECT_TRUE(readFile(path("dst/report.doc")) == std::string(1536 * 1024, 'q'));
}

TEST_F(ChangingSourceTest, FileSwappedForAFifoAfterItsListingIsSkippedWithoutBlocking) {
    rewritesLeft = 0;
    writeFile("src/after", "after");
    engine.setProbe([&](Engine::ProbePoint point, const std::string& path) {
        if (point != Engine::ProbePoint::BeforeOpen || path != rewrittenSource)
            return;
        // nobody ever writes into it: an open for reading that waits would wait for ever
        ASSERT_EQ(::unlink(path.c_str()), 0);
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    });
    engine.transferPass();
    engine.setProbe({});
    EXPECT_EQ(
        view.logLinesStartingWith("   Skipped (not a regular file) -> " + rewrittenSource).size(),
        1u);
    EXPECT_TRUE(readFile(path("dst/report.doc")) == "earlier backup");
    EXPECT_EQ(readFile(path("dst/after")), "after");
    EXPECT_EQ(state.FilesUpdated, 1);
}

} // namespace
} // namespace qm::test
