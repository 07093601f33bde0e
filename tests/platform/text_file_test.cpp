#include "as_nobody.h"
#include "block_file.h"
#include "file_bytes.h"
#include "io_folder_test.h"
#include "pending_io.h"
#include "text_file.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

using namespace qm;
using namespace qm::test;

namespace {

std::vector<std::string> linesOf(std::string bytes) {
    TextReader reader;
    reader.openBuffer(std::move(bytes));
    std::vector<std::string> lines;
    while (!reader.eof())
        lines.push_back(reader.readLine());
    return lines;
}

using Lines = std::vector<std::string>;

ssize_t diskFull(int, const void*, std::size_t) {
    errno = ENOSPC;
    return -1;
}

} // namespace

TEST(TextReader, LineEndsAreLfOrCrLfAndLoneCrVanishes) {
    EXPECT_EQ(linesOf("a\r\nb\nc"), (Lines{"a", "b", "c"}));
    EXPECT_EQ(linesOf("a\r\nb\r\n"), (Lines{"a", "b"}));
    EXPECT_EQ(linesOf("x\ry\r\nz"), (Lines{"xy", "z"}));
    EXPECT_EQ(linesOf("end\r"), (Lines{"end"}));
    EXPECT_EQ(linesOf("\n\n"), (Lines{"", ""}));
    EXPECT_EQ(linesOf(""), Lines{});
}

TEST(TextReader, CtrlZEndsTheFile) {
    EXPECT_EQ(linesOf("one\r\ntwo\x1a"
                      "three\r\n"),
              (Lines{"one", "two"}));
    EXPECT_EQ(linesOf("\x1a"
                      "hidden"),
              Lines{});

    TextReader reader;
    reader.openBuffer("a\x1a"
                      "b");
    EXPECT_EQ(reader.readLine(), "a");
    EXPECT_TRUE(reader.eof());
    EXPECT_EQ(reader.readLine(), "");
}

TEST(TextReader, LongLinesAreReadWhole) {
    std::string longLine(1000, 'q');
    longLine[500] = 'X';
    EXPECT_EQ(linesOf(longLine + "\r\nnext"), (Lines{longLine, "next"}));
}

class TextFileTest : public IoFolderTest {};

TEST_F(TextFileTest, OpenReadsAFileAndReportsAMissingOne) {
    writeFile("profile.txt", "first\r\nsecond");
    TextReader reader;
    ASSERT_TRUE(reader.open(path("profile.txt")));
    EXPECT_EQ(reader.readLine(), "first");
    EXPECT_EQ(reader.readLine(), "second");
    EXPECT_TRUE(reader.eof());

    TextReader missing;
    EXPECT_FALSE(missing.open(path("missing.txt")));
    EXPECT_FALSE(missing.isOpen());
    EXPECT_TRUE(missing.eof());
    EXPECT_EQ(takeIoResult(), 2);
}

TEST_F(TextFileTest, AtomicWriteReplacesContentsAndKeepsPermissions) {
    std::string file = writeFile("quillmark.txt", "old");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    writeFileAtomically(file, "new\r\ncontents\r\n");
    EXPECT_EQ(readFile(file), "new\r\ncontents\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    writeFileAtomically(path("fresh.txt"), "");
    EXPECT_TRUE(std::filesystem::exists(path("fresh.txt")));
    // Nothing but the two files: no temporary left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), {}), 2);
}

TEST_F(TextFileTest, FailedAtomicWriteLeavesTheOldFile) {
    std::string file = writeFile("quillmark.txt", "old");
    setWriteHook(diskFull);
    try {
        writeFileAtomically(file, "new");
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 112);
    }
    setWriteHook(nullptr);
    EXPECT_EQ(readFile(file), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), {}), 1);

    writeFile("plain", "x");
    try {
        writeFileAtomically(path("plain/quillmark.txt"), "new");
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 3);
    }
    try {
        writeFileAtomically(path("missing/quillmark.txt"), "new");
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 3);
    }
}

TEST_F(TextFileTest, AtomicWriteIntoALockedFolderIsDenied) {
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    std::string file = writeFile("quillmark.txt", "old");
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    int status = runAsNobody([&] {
        try {
            writeFileAtomically(file, "new");
        } catch (const IoError& error) {
            return error.code() == 5 ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(file), "old");
}

TEST_F(TextFileTest, CreateEmptyFileNeverTruncates) {
    std::string file = writeFile("existing", "keep");
    EXPECT_TRUE(createEmptyFile(file));
    EXPECT_EQ(readFile(file), "keep");
    EXPECT_TRUE(createEmptyFile(path("new")));
    EXPECT_TRUE(std::filesystem::exists(path("new")));
    EXPECT_FALSE(createEmptyFile(path("missing/new")));
    EXPECT_EQ(takeIoResult(), 3);
}
