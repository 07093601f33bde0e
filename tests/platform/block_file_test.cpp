#include "as_nobody.h"
#include "attributes.h"
#include "block_file.h"
#include "file_bytes.h"
#include "file_time.h"
#include "io_folder_test.h"
#include "pending_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

using namespace qm;
using namespace qm::test;

namespace {

ssize_t diskFull(int, const void*, std::size_t) {
    errno = ENOSPC;
    return -1;
}

ssize_t halfWrite(int fd, const void* buffer, std::size_t count) {
    return ::write(fd, buffer, count / 2);
}

int interruptedOnce = 0;
ssize_t interruptFirst(int fd, const void* buffer, std::size_t count) {
    if (interruptedOnce++ == 0) {
        errno = EINTR;
        return -1;
    }
    return ::write(fd, buffer, count);
}

} // namespace

class BlockFileTest : public IoFolderTest {};

TEST_F(BlockFileTest, CopiesBytesInBlocks) {
    std::string content(100000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    writeFile("source", content);

    BlockFile source(path("source"));
    BlockFile target(path("target"));
    ASSERT_TRUE(source.openRead());
    ASSERT_TRUE(target.create());
    std::vector<char> block(32768);
    for (;;) {
        std::int64_t got = source.read(block.data(), block.size());
        ASSERT_GE(got, 0);
        if (got == 0)
            break;
        ASSERT_EQ(target.write(block.data(), static_cast<std::size_t>(got)), got);
    }
    EXPECT_TRUE(target.flush());
    EXPECT_TRUE(source.close());
    EXPECT_TRUE(target.close());
    EXPECT_EQ(takeIoResult(), 0);
    EXPECT_EQ(readFile(path("target")), content);
}

TEST_F(BlockFileTest, CreateTruncatesAndCreateNewRefusesExisting) {
    writeFile("old", "old contents");
    BlockFile file(path("old"));
    ASSERT_TRUE(file.create());
    ASSERT_TRUE(file.close());
    EXPECT_EQ(readFile(path("old")), "");

    BlockFile fresh(path("old"));
    EXPECT_FALSE(fresh.createNew());
    EXPECT_EQ(takeIoResult(), 183);

    BlockFile made(path("made"));
    ASSERT_TRUE(made.createNew(0640));
    ASSERT_TRUE(made.close());
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(readAttributes(path("made")).mode, 0640u & ~mask);
}

TEST_F(BlockFileTest, OpenFailuresLeaveTheRightCode) {
    BlockFile missing(path("missing"));
    EXPECT_FALSE(missing.openExisting());
    EXPECT_FALSE(missing.isOpen());
    EXPECT_EQ(takeIoResult(), 2);

    BlockFile noFolder(path("nofolder/file"));
    EXPECT_FALSE(noFolder.openRead());
    EXPECT_EQ(takeIoResult(), 3);
    EXPECT_FALSE(noFolder.create());
    EXPECT_EQ(takeIoResult(), 3);

    BlockFile folder(root);
    EXPECT_FALSE(folder.openExisting());
    EXPECT_EQ(takeIoResult(), 5);
}

TEST_F(BlockFileTest, OpenReadRefusesASymbolicLink) {
    std::string real = writeFile("real", "secret");
    std::filesystem::create_symlink(real, path("link"));
    BlockFile link(path("link"));
    EXPECT_FALSE(link.openRead());
    EXPECT_NE(takeIoResult(), 0);

    BlockFile newThroughLink(path("link"));
    EXPECT_FALSE(newThroughLink.createNew());
    EXPECT_NE(takeIoResult(), 0);
    EXPECT_EQ(readFile(real), "secret");
}

TEST_F(BlockFileTest, ClosedFileOperationsLeave103) {
    BlockFile file(path("never"));
    char buffer[4];
    EXPECT_EQ(file.read(buffer, sizeof buffer), -1);
    EXPECT_EQ(takeIoResult(), 103);
    EXPECT_EQ(file.write(buffer, sizeof buffer), -1);
    EXPECT_EQ(takeIoResult(), 103);
    EXPECT_FALSE(file.close());
    EXPECT_EQ(takeIoResult(), 103);
    EXPECT_FALSE(file.flush());
    EXPECT_EQ(takeIoResult(), 103);
    EXPECT_EQ(file.setModificationTime({0, 0}), 103);
    EXPECT_EQ(takeIoResult(), 0);

    ASSERT_TRUE(file.create());
    ASSERT_TRUE(file.close());
    EXPECT_FALSE(file.close());
    EXPECT_EQ(takeIoResult(), 103);
    EXPECT_EQ(file.path(), path("never"));
}

TEST_F(BlockFileTest, FullDiskLeaves112AndShortWritesAreNoError) {
    BlockFile file(path("target"));
    ASSERT_TRUE(file.create());
    const char data[] = "0123456789";

    setWriteHook(diskFull);
    EXPECT_EQ(file.write(data, 10), -1);
    EXPECT_EQ(takeIoResult(), 112);

    setWriteHook(halfWrite);
    EXPECT_EQ(file.write(data, 10), 5);
    EXPECT_EQ(takeIoResult(), 0);

    interruptedOnce = 0;
    setWriteHook(interruptFirst);
    EXPECT_EQ(file.write(data, 10), 10);
    EXPECT_EQ(interruptedOnce, 2);

    setWriteHook(nullptr);
    ASSERT_TRUE(file.close());
    EXPECT_EQ(readFile(path("target")), "01234"
                                        "0123456789");
}

TEST_F(BlockFileTest, ModificationTimeAndPermissionsAreSetOnTheOpenFile) {
    BlockFile file(path("copy"));
    ASSERT_TRUE(file.create());
    timespec when{1700000000, 123456789};
    EXPECT_EQ(file.setModificationTime(when), 0);
    EXPECT_EQ(file.setPermissions(0604), 0);
    ASSERT_TRUE(file.close());

    auto mtime = modificationTimeOf(path("copy"));
    ASSERT_TRUE(mtime.has_value());
    EXPECT_EQ(mtime->tv_sec, when.tv_sec);
    EXPECT_EQ(mtime->tv_nsec, when.tv_nsec);
    EXPECT_EQ(dosDateTimeOf(path("copy")), dosDateTimeFromTime(when));
    EXPECT_EQ(readAttributes(path("copy")).mode, 0604u);
}

TEST_F(BlockFileTest, ReadOnlyFileOpensAfterArchiveOnly) {
    ASSERT_EQ(::chmod(root.c_str(), 0777), 0);
    std::string file = path("readonly");
    int status = runAsNobody([&] {
        int fd = ::open(file.c_str(), O_CREAT | O_WRONLY, 0444);
        if (fd < 0)
            return 10;
        ::close(fd);
        BlockFile block(file);
        if (block.openExisting())
            return 1;
        if (takeIoResult() != 5)
            return 2;
        if (setArchiveOnly(file) != 0)
            return 3;
        if (!block.openExisting())
            return 4;
        return block.close() ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
}
