#include "as_nobody.h"
#include "block_file.h"
#include "file_bytes.h"
#include "io_folder_test.h"
#include "pending_io.h"
#include "text_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
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
    replaceFile(file, "new\r\ncontents\r\n");
    EXPECT_EQ(readFile(file), "new\r\ncontents\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const mode_t mask = ::umask(027);
    replaceFile(path("fresh.txt"), "");
    EXPECT_EQ(::umask(mask), 027u); // the save leaves the process's umask alone
    ASSERT_EQ(::stat(path("fresh.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Nothing but the two files: no temporary left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), {}), 2);
}

TEST_F(TextFileTest, FailedAtomicWriteLeavesTheOldFile) {
    std::string file = writeFile("quillmark.txt", "old");
    setWriteHook(diskFull);
    try {
        replaceFile(file, "new");
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 112);
    }
    setWriteHook(nullptr);
    EXPECT_EQ(readFile(file), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root), {}), 1);

    writeFile("plain", "x");
    try {
        replaceFile(path("plain/quillmark.txt"), "new");
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 3);
    }
    try {
        replaceFile(path("missing/quillmark.txt"), "new");
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 3);
    }
}

TEST_F(TextFileTest, LockedFolderRewritesAWritableFileInPlaceAndDeniesAReadOnlyOne) {
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0); // root's folder: nobody can add files to it
    std::string file = writeFile("quillmark.txt", "old contents, longer than the new");
    std::string locked = writeFile("locked.txt", "old");
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
    int status = runAsNobody([&] {
        replaceFile(file, "new");
        try {
            replaceFile(locked, "new");
        } catch (const IoError& error) {
            return error.code() == 5 ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(readFile(locked), "old");
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

namespace {

int readsBeforeFailure = 0;

/// Reads normally `readsBeforeFailure` times, then fails as a dying disk does.
ssize_t failingDisk(int fd, void* buffer, std::size_t count) {
    if (readsBeforeFailure-- > 0)
        return ::read(fd, buffer, count);
    errno = EIO;
    return -1;
}

struct ReadHookReset {
    ~ReadHookReset() { setReadHook(nullptr); }
};

/// A file of numbered lines "line 00000\r\n" ..., well over one read block.
std::string numberedLines(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line %05d\r\n", i);
        bytes += line;
    }
    return bytes;
}

bool isLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST_F(TextFileTest, ReadErrorPartWayKeepsTheWholeLinesReadAndReportsTheError) {
    const std::string bytes = numberedLines(20000); // 240 000 bytes: several blocks
    std::string file = writeFile("quillmark.txt", bytes);
    ReadHookReset reset;
    readsBeforeFailure = 1;
    setReadHook(failingDisk);
    TextReader reader;
    ASSERT_TRUE(reader.open(file));
    std::vector<std::string> lines;
    while (!reader.eof())
        lines.push_back(reader.readLine());
    EXPECT_EQ(reader.readError(), 1117);
    // The first block ends inside a line: that line comes back empty, never cut short.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "");
    lines.pop_back();
    EXPECT_LT(lines.size(), 20000u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "line %05zu", i);
        ASSERT_EQ(lines[i], expected) << "line " << i;
    }
}

TEST_F(TextFileTest, TextAfterCtrlZIsNotedAsUnread) {
    std::string file = writeFile("ends", "a->\r\n\x1a");
    TextReader reader;
    ASSERT_TRUE(reader.open(file));
    while (!reader.eof())
        reader.readLine();
    EXPECT_FALSE(reader.stoppedAtCtrlZ()); // the old end-of-file mark alone hides nothing

    // Ctrl-Z as the last byte of the first block, the hidden text in the next one.
    std::string bytes(65535, 'x');
    bytes += '\x1a';
    bytes += "hidden->\r\n";
    file = writeFile("hides", bytes);
    TextReader hiding;
    ASSERT_TRUE(hiding.open(file));
    while (!hiding.eof())
        hiding.readLine();
    EXPECT_TRUE(hiding.stoppedAtCtrlZ());
    EXPECT_EQ(hiding.readError(), 0);
}

TEST_F(TextFileTest, FifoSocketAndFolderAreNeverOpenedNorReplaced) {
    // A blocking open would hang here; the alarm ends the test as a failure instead.
    ::alarm(30);
    const std::string fifo = path("quillmark.txt");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    TextReader reader;
    try {
        reader.open(fifo);
        ADD_FAILURE() << "a FIFO was opened";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 5);
        EXPECT_NE(std::string(error.what()).find("FIFO"), std::string::npos) << error.what();
        EXPECT_EQ(error.path(), fifo);
    }
    EXPECT_THROW(replaceFile(fifo, "new"), IoError);
    // Through a link too.
    ASSERT_EQ(::symlink("quillmark.txt", path("link").c_str()), 0);
    EXPECT_THROW(replaceFile(path("link"), "new"), IoError);
    EXPECT_THROW(reader.open(path("link")), IoError);
    std::filesystem::create_directory(path("folder"));
    EXPECT_THROW(replaceFile(path("folder"), "new"), IoError);
    ::alarm(0);

    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(folderEntries(root), (std::vector<std::string>{"folder", "link", "quillmark.txt"}));
}

TEST_F(TextFileTest, LinksAreWrittenThroughAndStayLinks) {
    std::filesystem::create_directories(path("dotfiles/sub"));
    std::string real = writeFile("dotfiles/sub/quillmark.txt", "old");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    // A relative link to a relative link: each is resolved from its own folder.
    ASSERT_EQ(::symlink("sub/quillmark.txt", path("dotfiles/hop").c_str()), 0);
    ASSERT_EQ(::symlink("dotfiles/hop", path("quillmark.txt").c_str()), 0);
    replaceFile(path("quillmark.txt"), "new");
    EXPECT_TRUE(isLink(path("quillmark.txt")));
    EXPECT_TRUE(isLink(path("dotfiles/hop")));
    EXPECT_EQ(readFile(real), "new");
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // The temporary went beside the real file and nothing is left anywhere.
    EXPECT_EQ(folderEntries(path("dotfiles/sub")), std::vector<std::string>{"quillmark.txt"});
    EXPECT_EQ(folderEntries(root), (std::vector<std::string>{"dotfiles", "quillmark.txt"}));

    // A dangling link: the file is created where it points.
    ASSERT_EQ(::symlink("dotfiles/sub/new.txt", path("dangling").c_str()), 0);
    replaceFile(path("dangling"), "created");
    EXPECT_TRUE(isLink(path("dangling")));
    EXPECT_EQ(readFile(path("dotfiles/sub/new.txt")), "created");

    // A loop fails without touching anything.
    ASSERT_EQ(::symlink("loop-b", path("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", path("loop-b").c_str()), 0);
    try {
        replaceFile(path("loop-a"), "x");
        ADD_FAILURE() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 1921);
    }
}

TEST_F(TextFileTest, HardLinkedFileIsReplacedAndTheOtherNameKeepsTheOldBytes) {
    std::string file = writeFile("quillmark.txt", "old");
    ASSERT_EQ(::link(file.c_str(), path("other").c_str()), 0);
    replaceFile(file, "new");
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(readFile(path("other")), "old");
}

TEST_F(TextFileTest, KeepOldKeepsTheFileAsItWasUnderAFreeName) {
    std::string file = writeFile("quillmark.txt", "first");
    EXPECT_EQ(replaceFile(file, "second", true), file + ".unloaded");
    EXPECT_EQ(readFile(file + ".unloaded"), "first");
    EXPECT_EQ(replaceFile(file, "third", true), file + ".unloaded.2");
    EXPECT_EQ(readFile(file + ".unloaded"), "first");
    EXPECT_EQ(readFile(file + ".unloaded.2"), "second");
    EXPECT_EQ(replaceFile(file, "fourth"), "");
    EXPECT_EQ(readFile(file), "fourth");
    // Nothing to keep when there is no file yet.
    EXPECT_EQ(replaceFile(path("fresh"), "x", true), "");
    EXPECT_FALSE(std::filesystem::exists(path("fresh.unloaded")));
}

TEST_F(TextFileTest, ModeAndOwnerAreKept) {
    std::string file = writeFile("quillmark.txt", "old");
    ASSERT_EQ(::chown(file.c_str(), Nobody, Nobody), 0) << "needs root, as in CI";
    ASSERT_EQ(::chmod(file.c_str(), 0604), 0);
    replaceFile(file, "new");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, Nobody);
    EXPECT_EQ(st.st_gid, Nobody);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(readFile(file), "new");

    // As the owner, without root: the mode is kept.
    ASSERT_TRUE(chownTree(root));
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    const int status = runAsNobody([&] {
        replaceFile(file, "newer");
        struct stat now {};
        if (::stat(file.c_str(), &now) != 0)
            return 2;
        return (now.st_mode & 07777) == 0640 && now.st_uid == Nobody ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(file), "newer");
}

TEST_F(TextFileTest, UnwritableFileIsNotReplacedAndInPlaceRewriteGrowsSafely) {
    std::string readOnly = writeFile("readonly.txt", "old");
    std::string closed = writeFile("closed.txt", "old");
    ASSERT_TRUE(chownTree(root));
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(closed.c_str(), 0000), 0);
    const int status = runAsNobody([&] {
        for (const std::string& file : {readOnly, closed}) {
            try {
                replaceFile(file, "new");
                return 1;
            } catch (const IoError& error) {
                if (error.code() != 5 || std::string(error.what()) != "File access denied")
                    return 2;
            }
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(readOnly), "old");
    EXPECT_EQ(readFile(closed), "old");

    // A folder nobody may add to, a writable file: rewritten in place, longer than before.
    std::string file = writeFile("quillmark.txt", "short");
    ASSERT_TRUE(chownTree(root));
    ASSERT_EQ(::chmod(root.c_str(), 0555), 0);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    const std::string longer(200000, 'L');
    EXPECT_EQ(runAsNobody([&] {
                  replaceFile(file, longer);
                  return 0;
              }),
              0);
    ::chmod(root.c_str(), 0755);
    EXPECT_EQ(readFile(file), longer);
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

namespace {

bool failFlushesOfFolders = false;

int failingFlush(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) == failFlushesOfFolders) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

} // namespace

TEST_F(TextFileTest, AFailedWriteOutRefusesTheSave) {
    // The file's write-out fails before the rename: the old contents stay. The folder's
    // fails after it: the new contents are there, but the save may not last and says so.
    for (const auto& [folders, contentsAfter] : {std::pair{false, "old"}, {true, "new"}}) {
        SCOPED_TRACE(folders ? "folder" : "file");
        const std::string file = writeFile("quillmark.txt", "old");
        failFlushesOfFolders = folders;
        setFlushHook(failingFlush);
        EXPECT_THROW(replaceFile(file, "new"), IoError);
        setFlushHook(nullptr);
        EXPECT_EQ(readFile(file), contentsAfter);
        EXPECT_EQ(folderEntries(root), std::vector<std::string>{"quillmark.txt"});
    }
}

namespace {

ssize_t dieInTheWrite(int, const void*, std::size_t) {
    ::raise(SIGKILL);
    return -1;
}

} // namespace

TEST_F(TextFileTest, LeftoverOfAKilledSaveIsRemovedByTheNextAndForeignFilesStay) {
    std::string file = writeFile("quillmark.txt", "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setWriteHook(dieInTheWrite);
        replaceFile(file, "never written");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(readFile(file), "old");
    std::vector<std::string> entries = folderEntries(root);
    ASSERT_EQ(entries.size(), 2u);
    const std::string leftover = entries[1];
    EXPECT_EQ(leftover.rfind("quillmark.txt.saving-", 0), 0u) << leftover;

    // Names like ours that are not: other lengths and characters, another file's, an older
    // scheme's, one with a second name, one of another user, and one a save is writing.
    const std::vector<std::string> foreign = {
        "quillmark.txt.saving-abc",    "quillmark.txt.saving-abcdefg",
        "quillmark.txt.saving-ab.def", "other.txt.saving-abcdef",
        "quillmark.txt.Ab12Cd",        "quillmark.txt.saving-linked",
        "quillmark.txt.saving-nobody", "quillmark.txt.saving-locked"};
    for (const std::string& name : foreign)
        writeFile(name, "foreign");
    ASSERT_EQ(::link(path("quillmark.txt.saving-linked").c_str(), path("second-name").c_str()), 0);
    ASSERT_EQ(::chown(path("quillmark.txt.saving-nobody").c_str(), Nobody, Nobody), 0);
    const int locked = ::open(path("quillmark.txt.saving-locked").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(locked, 0);
    // Held by another process, as a save under way would.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::flock(locked, LOCK_EX);
        char c = 0;
        (void)!::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(locked);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);

    replaceFile(file, "new");
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);

    EXPECT_EQ(readFile(file), "new");
    EXPECT_FALSE(std::filesystem::exists(path(leftover)));
    for (const std::string& name : foreign)
        EXPECT_EQ(readFile(path(name)), "foreign") << name;
}

TEST_F(TextFileTest, NoCopyCanBeKeptInALockedFolderSoTheFileIsNotRewritten) {
    // In place would be possible, but the file was not read whole and its copy cannot go
    // beside it: the save is refused rather than losing what was never read.
    std::string file = writeFile("quillmark.txt", "never read whole");
    ASSERT_TRUE(chownTree(root));
    ASSERT_EQ(::chmod(root.c_str(), 0555), 0);
    const int status = runAsNobody([&] {
        try {
            replaceFile(file, "new", true);
            return 1;
        } catch (const IoError& error) {
            return error.code() == 5 && error.path() == file + ".unloaded" ? 0 : 2;
        }
    });
    ::chmod(root.c_str(), 0755);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(file), "never read whole");
    EXPECT_EQ(folderEntries(root), std::vector<std::string>{"quillmark.txt"});
}
