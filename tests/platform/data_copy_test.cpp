#include "block_file.h"
#include "data_copy.h"
#include "file_bytes.h"
#include "io_folder_test.h"
#include "pending_io.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace qm;
using namespace qm::test;

namespace {

constexpr std::size_t Block = 524288;

std::string patterned(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + seed + i / 4096) & 0xff);
    return bytes;
}

/// A file of `size` bytes holding `pieces` at their offsets and holes everywhere else.
void writeSparse(const std::string& path, off_t size,
                 const std::vector<std::pair<off_t, std::string>>& pieces) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    for (const auto& [offset, bytes] : pieces)
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset),
                  static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ASSERT_EQ(::close(fd), 0);
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

std::size_t writeCalls = 0;
std::size_t bytesWritten = 0;
ssize_t countingWrite(int fd, const void* buffer, std::size_t count) {
    ++writeCalls;
    const ssize_t done = ::write(fd, buffer, count);
    if (done > 0)
        bytesWritten += static_cast<std::size_t>(done);
    return done;
}

ssize_t diskFull(int, const void*, std::size_t) {
    errno = ENOSPC;
    return -1;
}

ssize_t halfWrite(int fd, const void* buffer, std::size_t count) {
    return ::write(fd, buffer, (count + 1) / 2);
}

class DataCopyTest : public IoFolderTest {
protected:
    /// Copies `from` into the new file `to`; the failure stays pending.
    DataCopyResult copy(const std::string& from, const std::string& to,
                        const std::function<void(BlockFile&)>& beforeCopy = {}) {
        BlockFile in(path(from));
        BlockFile out(path(to));
        EXPECT_TRUE(in.openRead());
        FileStatus status{};
        EXPECT_TRUE(in.status(status));
        EXPECT_TRUE(out.createNew());
        if (beforeCopy)
            beforeCopy(in);
        const DataCopyResult result =
            copyData(in, out, status, buffer.data(), buffer.size(), [&] { ++blocks; });
        EXPECT_TRUE(out.close());
        return result;
    }
    std::vector<char> buffer = std::vector<char>(Block);
    int blocks = 0;
};

TEST_F(DataCopyTest, SparseFileCopiesItsBytesAndKeepsItsHoles) {
    const off_t size = 40 << 20;
    writeSparse(path("sparse"), size,
                {{0, patterned(4096, 1)},
                 {(3 << 20) + 123, patterned(1300000, 2)}, // unaligned, over several blocks
                 {20 << 20, patterned(10, 3)}});           // then a trailing hole
    const DataCopyResult result = copy("sparse", "copy");
    ASSERT_EQ(result.failed, CopyEnd::None) << takeIoResult();
    EXPECT_TRUE(readFile(path("copy")) == readFile(path("sparse")));
    const struct stat source = statOf(path("sparse")), copied = statOf(path("copy"));
    EXPECT_EQ(copied.st_size, size);
    ASSERT_LT(source.st_blocks * 512, size) << "the test folder's file system keeps no holes";
    EXPECT_LE(copied.st_blocks, source.st_blocks + 128); // the data and a little metadata
    EXPECT_GE(blocks, 3);
}

TEST_F(DataCopyTest, GibibyteHoldingOnePageTakesOnePage) {
    const off_t size = off_t{1} << 30;
    const std::string page = patterned(4096, 9);
    writeSparse(path("huge"), size, {{size / 2, page}});
    const DataCopyResult result = copy("huge", "copy");
    ASSERT_EQ(result.failed, CopyEnd::None) << takeIoResult();
    const struct stat source = statOf(path("huge")), copied = statOf(path("copy"));
    EXPECT_EQ(copied.st_size, size);
    EXPECT_LE(copied.st_blocks * 512, 64 * 1024);
    EXPECT_LE(copied.st_blocks, source.st_blocks + 128);
    std::string back(page.size(), '\0');
    const int fd = ::open(path("copy").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pread(fd, back.data(), back.size(), size / 2), static_cast<ssize_t>(page.size()));
    EXPECT_EQ(back, page);
    char first = 'x';
    EXPECT_EQ(::pread(fd, &first, 1, 0), 1);
    EXPECT_EQ(first, '\0');
    ::close(fd);
}

TEST_F(DataCopyTest, DenseFileCopiesWholePumpingOnceABlock) {
    const std::string bytes = patterned(3 * Block / 2, 4);
    writeFile("dense", bytes);
    const DataCopyResult result = copy("dense", "copy");
    ASSERT_EQ(result.failed, CopyEnd::None) << takeIoResult();
    EXPECT_TRUE(readFile(path("copy")) == bytes);
    // the window is pumped as often as the block copy would
    EXPECT_EQ(blocks, result.way == CopyWay::Clone ? 1 : 2);
}

TEST_F(DataCopyTest, SourceThatShrankOrGrewIsCopiedAsFound) {
    const std::string bytes = patterned(2 * Block + 1000, 5);
    writeFile("dense", bytes);
    ASSERT_EQ(copy("dense", "shrunk",
                   [&](BlockFile&) { ASSERT_EQ(::truncate(path("dense").c_str(), 700000), 0); })
                  .failed,
              CopyEnd::None);
    EXPECT_TRUE(readFile(path("shrunk")) == bytes.substr(0, 700000));

    writeFile("dense", bytes);
    ASSERT_EQ(copy("dense", "grown",
                   [&](BlockFile&) {
                       const int fd =
                           ::open(path("dense").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                       ASSERT_GE(fd, 0);
                       ASSERT_EQ(::write(fd, "tail", 4), 4);
                       ::close(fd);
                   })
                  .failed,
              CopyEnd::None);
    EXPECT_TRUE(readFile(path("grown")) == bytes + "tail");

    // listed as sparse and large, cut inside its second data range before the copy
    writeSparse(path("sparse"), 30 << 20, {{0, patterned(5000, 6)}, {8 << 20, bytes}});
    ASSERT_EQ(copy("sparse", "cut",
                   [&](BlockFile&) {
                       ASSERT_EQ(::truncate(path("sparse").c_str(), (8 << 20) + 1234), 0);
                   })
                  .failed,
              CopyEnd::None);
    const std::string cut = readFile(path("cut"));
    ASSERT_EQ(cut.size(), std::size_t{(8 << 20) + 1234});
    EXPECT_TRUE(cut == readFile(path("sparse")));
}

TEST_F(DataCopyTest, WriteHookForcesTheBlockCopy) {
    const std::string bytes = patterned(2 * Block + 10, 7);
    writeFile("dense", bytes);
    writeCalls = bytesWritten = 0;
    setWriteHook(countingWrite);
    DataCopyResult result = copy("dense", "copy");
    EXPECT_EQ(result.failed, CopyEnd::None);
    EXPECT_EQ(result.way, CopyWay::Blocks);
    EXPECT_EQ(writeCalls, 3u);
    EXPECT_EQ(bytesWritten, bytes.size());
    EXPECT_TRUE(readFile(path("copy")) == bytes);

    // holes too go through the hook, as zeros
    writeSparse(path("sparse"), 3 << 20, {{(1 << 20) + 5, "data"}});
    writeCalls = bytesWritten = 0;
    result = copy("sparse", "copy2");
    EXPECT_EQ(result.failed, CopyEnd::None);
    EXPECT_EQ(bytesWritten, std::size_t{3 << 20});
    EXPECT_TRUE(readFile(path("copy2")) == readFile(path("sparse")));
}

TEST_F(DataCopyTest, HookedFaultsFailAtTheTarget) {
    writeFile("dense", patterned(Block + 1, 8));
    setWriteHook(diskFull);
    EXPECT_EQ(copy("dense", "full").failed, CopyEnd::Target);
    IoFailure failure = takeIoFailure();
    EXPECT_EQ(failure.code, 112);
    EXPECT_FALSE(failure.concernsOnlyThisPath());

    // short, then short again without an error: a full medium
    setWriteHook(halfWrite);
    EXPECT_EQ(copy("dense", "half").failed, CopyEnd::Target);
    failure = takeIoFailure();
    EXPECT_EQ(failure.code, 112);
    EXPECT_FALSE(failure.concernsOnlyThisPath());
    EXPECT_EQ(blocks, 0);
}

TEST_F(DataCopyTest, EmptyFileCopiesEmptyWithoutABlock) {
    writeFile("empty", "");
    const DataCopyResult result = copy("empty", "copy");
    EXPECT_EQ(result.failed, CopyEnd::None);
    EXPECT_EQ(blocks, 0);
    EXPECT_EQ(statOf(path("copy")).st_size, 0);
    EXPECT_EQ(takeIoResult(), 0);
}

TEST_F(DataCopyTest, TargetThatTakesNoWriteFailsAtTheTargetNotTheSource) {
    writeFile("dense", patterned(1000, 9));
    writeFile("taken", "");
    BlockFile in(path("dense"));
    BlockFile out(path("taken"));
    ASSERT_TRUE(in.openRead());
    ASSERT_TRUE(out.openRead()); // clone and kernel copy refuse it, and so does write
    FileStatus status{};
    ASSERT_TRUE(in.status(status));
    const DataCopyResult result =
        copyData(in, out, status, buffer.data(), buffer.size(), [&] { ++blocks; });
    EXPECT_EQ(result.failed, CopyEnd::Target);
    EXPECT_NE(takeIoResult(), 0);
    EXPECT_EQ(readFile(path("taken")), "");
}

/// In a child, under a file-size limit of 64 KiB: the copy's end and pending code.
std::pair<int, int> copyUnderSizeLimit(const std::string& from, const std::string& to) {
    int channel[2];
    if (::pipe(channel) != 0)
        return {-1, -1};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64 * 1024, 64 * 1024};
        int answer[2] = {-2, -2};
        if (::setrlimit(RLIMIT_FSIZE, &limit) == 0) {
            BlockFile in(from);
            BlockFile out(to);
            FileStatus status{};
            std::vector<char> block(Block);
            if (in.openRead() && in.status(status) && out.createNew()) {
                const DataCopyResult result =
                    copyData(in, out, status, block.data(), block.size(), [] {});
                const IoFailure failure = takeIoFailure();
                answer[0] = static_cast<int>(result.failed);
                answer[1] = failure.concernsOnlyThisPath() ? failure.code : -failure.code;
            }
        }
        [[maybe_unused]] ssize_t sent = ::write(channel[1], answer, sizeof answer);
        ::_exit(0);
    }
    ::close(channel[1]);
    int answer[2] = {-3, -3};
    if (::read(channel[0], answer, sizeof answer) != sizeof answer)
        answer[0] = answer[1] = -4;
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return {answer[0], answer[1]};
}

TEST_F(DataCopyTest, FileSizeLimitFailsThatFileAtTheTarget) {
    const std::pair<int, int> refused{static_cast<int>(CopyEnd::Target), 223};
    writeFile("dense", patterned(200000, 10));
    EXPECT_EQ(copyUnderSizeLimit(path("dense"), path("a")), refused);
    // data past the limit, and data within it that only the size carries past
    writeSparse(path("far"), 1 << 20, {{600000, "far"}});
    EXPECT_EQ(copyUnderSizeLimit(path("far"), path("b")), refused);
    writeSparse(path("near"), 1 << 20, {{10, "near"}});
    EXPECT_EQ(copyUnderSizeLimit(path("near"), path("c")), refused);
    writeFile("small", "fits");
    EXPECT_EQ(copyUnderSizeLimit(path("small"), path("d")),
              (std::pair<int, int>{static_cast<int>(CopyEnd::None), 0}));
    EXPECT_EQ(readFile(path("d")), "fits");
}

} // namespace
