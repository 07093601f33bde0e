#include "as_nobody.h"
#include "block_file.h"
#include "failing_read.h"
#include "file_bytes.h"
#include "folder_handle.h"
#include "io_folder_test.h"
#include "listing.h"
#include "pending_io.h"

#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::set<std::string> namesIn(FolderListing& listing) {
    std::set<std::string> names;
    ListEntry entry;
    while (listing.next(entry))
        names.insert(entry.name);
    return names;
}

} // namespace

/// Each case runs with openat2 and with the walk a kernel without it gets.
class FolderHandleTest : public IoFolderTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        IoFolderTest::SetUp();
        setBeneathWalkForced(GetParam());
        std::filesystem::create_directories(path("root/a/b"));
        std::filesystem::create_directories(path("outside"));
        ASSERT_TRUE(rootHandle.openRoot(path("root")));
    }
    void TearDown() override {
        setBeneathWalkForced(false);
        setReadDirHook(nullptr);
        IoFolderTest::TearDown();
    }
    /// Opening `relative` beneath the root fails with `code` pending, naming the folder.
    void expectRefused(const std::string& relative, int code) {
        FolderHandle folder;
        EXPECT_FALSE(folder.openBeneath(rootHandle, relative, path("root/" + relative)))
            << relative;
        EXPECT_FALSE(folder.isOpen());
        EXPECT_EQ(takeIoResult(), code) << relative;
    }
    FolderHandle rootHandle;
};

TEST_P(FolderHandleTest, EntriesAreReachedRelativeToTheFolder) {
    FolderHandle folder;
    ASSERT_TRUE(folder.openBeneath(rootHandle, "a/b", path("root/a/b")));
    EXPECT_EQ(folder.path(), path("root/a/b"));
    EXPECT_EQ(folder.entryPath("f"), path("root/a/b/f"));
    FolderHandle top;
    ASSERT_TRUE(top.openRoot("/"));
    EXPECT_EQ(top.entryPath("f"), "/f");
    FolderHandle slashed;
    ASSERT_TRUE(slashed.openRoot(path("root") + "//"));
    EXPECT_EQ(slashed.entryPath("a"), path("root/a"));

    BlockFile out(folder.entryPath("f"));
    ASSERT_TRUE(folder.createNew(out, "f"));
    ASSERT_EQ(out.write("bytes", 5), 5);
    ASSERT_TRUE(out.close());
    EXPECT_EQ(readFile(path("root/a/b/f")), "bytes");

    BlockFile again(folder.entryPath("f"));
    EXPECT_FALSE(folder.createNew(again, "f"));
    EXPECT_EQ(takeIoResult(), 183);

    const timespec time{1700000000, 5};
    ASSERT_TRUE(folder.setTime("f", time));
    const auto status = folder.status("f");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->kind, EntryKind::File);
    EXPECT_EQ(status->size, 5);
    EXPECT_EQ(status->mtime.tv_sec, time.tv_sec);
    EXPECT_EQ(status->mtime.tv_nsec, time.tv_nsec);
    EXPECT_FALSE(folder.status("missing"));
    EXPECT_EQ(takeIoResult(), 0); // a status asks, it does not fail

    BlockFile in(folder.entryPath("f"));
    ASSERT_TRUE(folder.openRead(in, "f"));
    char buffer[8] = {};
    EXPECT_EQ(in.read(buffer, sizeof buffer), 5);

    ASSERT_TRUE(folder.createLink("f", "l"));
    std::string text;
    ASSERT_TRUE(folder.readLink("l", text));
    EXPECT_EQ(text, "f");
    ASSERT_TRUE(folder.setTime("l", time, true));
    EXPECT_EQ(folder.status("l")->kind, EntryKind::Symlink);
    EXPECT_EQ(folder.status("l")->mtime.tv_sec, time.tv_sec);

    FolderHandle parent;
    ASSERT_TRUE(parent.openBeneath(rootHandle, "a", path("root/a")));
    ASSERT_TRUE(folder.rename("f", parent, "g"));
    EXPECT_EQ(readFile(path("root/a/g")), "bytes");
    EXPECT_FALSE(folder.rename("f", parent, "g"));
    EXPECT_EQ(takeIoFailure().code, 2);
    ASSERT_TRUE(parent.remove("g"));
    EXPECT_FALSE(parent.remove("g"));
    EXPECT_EQ(takeIoResult(), 2);
    EXPECT_FALSE(parent.remove("b")); // never a folder
    EXPECT_NE(takeIoResult(), 0);

    ASSERT_TRUE(parent.makeFolder("c"));
    EXPECT_FALSE(parent.makeFolder("c"));
    EXPECT_EQ(takeIoResult(), 183);
    EXPECT_TRUE(std::filesystem::is_directory(path("root/a/c")));
}

TEST_P(FolderHandleTest, LinkAnywhereBeneathTheRootIsRefused) {
    ASSERT_EQ(::symlink(path("outside").c_str(), path("root/a/link").c_str()), 0);
    std::filesystem::create_directories(path("outside/deeper"));
    expectRefused("a/link", 1921);
    expectRefused("a/link/deeper", 1921);
    // a link to a folder inside the tree is refused just the same
    ASSERT_EQ(::symlink("b", path("root/a/inner").c_str()), 0);
    expectRefused("a/inner", 1921);
    // the root's own link is the user's choice and is followed
    ASSERT_EQ(::symlink(path("root").c_str(), path("rootlink").c_str()), 0);
    FolderHandle viaLink;
    ASSERT_TRUE(viaLink.openRoot(path("rootlink")));
    FolderHandle below;
    EXPECT_TRUE(below.openBeneath(viaLink, "a/b", path("rootlink/a/b")));
}

TEST_P(FolderHandleTest, WhatIsNoFolderOrLeadsOutIsRefused) {
    writeFile("root/a/file", "x");
    expectRefused("a/file", 3);
    expectRefused("a/file/below", 3);
    expectRefused("a/missing", 3);
    expectRefused("..", 31);
    expectRefused("a/../../outside", 31);
    ASSERT_EQ(::symlink("../../outside", path("root/a/up").c_str()), 0);
    expectRefused("a/up", 1921);

    FolderHandle notOpen;
    FolderHandle folder;
    EXPECT_FALSE(folder.openBeneath(notOpen, "a", path("root/a")));
    EXPECT_NE(takeIoResult(), 0);
    EXPECT_FALSE(folder.openRoot(path("root/a/file")));
    EXPECT_EQ(takeIoResult(), 3);
}

TEST_P(FolderHandleTest, HandleStaysWithItsFolderWhenALinkTakesItsPlace) {
    FolderHandle folder;
    ASSERT_TRUE(folder.openBeneath(rootHandle, "a/b", path("root/a/b")));
    writeFile("root/a/b/kept", "inside");
    ASSERT_EQ(::rename(path("root/a/b").c_str(), path("root/a/moved").c_str()), 0);
    ASSERT_EQ(::symlink(path("outside").c_str(), path("root/a/b").c_str()), 0);
    writeFile("outside/kept", "outside");

    BlockFile out(folder.entryPath("new"));
    ASSERT_TRUE(folder.createNew(out, "new"));
    ASSERT_TRUE(out.close());
    BlockFile in(folder.entryPath("kept"));
    ASSERT_TRUE(folder.openRead(in, "kept"));
    char buffer[16] = {};
    EXPECT_EQ(in.read(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer), "inside");
    EXPECT_TRUE(std::filesystem::exists(path("root/a/moved/new")));
    EXPECT_FALSE(std::filesystem::exists(path("outside/new")));
    FolderListing listing(folder);
    EXPECT_EQ(namesIn(listing), (std::set<std::string>{".", "..", "kept", "new"}));
}

TEST_P(FolderHandleTest, FilesAreNeverOpenedOrCreatedThroughALink) {
    FolderHandle folder;
    ASSERT_TRUE(folder.openBeneath(rootHandle, "a", path("root/a")));
    writeFile("outside/secret", "secret");
    ASSERT_EQ(::symlink(path("outside/secret").c_str(), path("root/a/read").c_str()), 0);
    ASSERT_EQ(::symlink(path("outside/new").c_str(), path("root/a/dangling").c_str()), 0);

    BlockFile in(folder.entryPath("read"));
    EXPECT_FALSE(folder.openRead(in, "read"));
    EXPECT_FALSE(in.isOpen());
    EXPECT_EQ(takeIoResult(), 1921);

    BlockFile out(folder.entryPath("dangling"));
    EXPECT_FALSE(folder.createNew(out, "dangling"));
    EXPECT_EQ(takeIoResult(), 183);
    EXPECT_FALSE(std::filesystem::exists(path("outside/new")));

    // a FIFO is refused without blocking
    ASSERT_EQ(::mkfifo(path("root/a/fifo").c_str(), 0600), 0);
    BlockFile fifo(folder.entryPath("fifo"));
    EXPECT_FALSE(folder.openRead(fifo, "fifo"));
    EXPECT_TRUE(fifo.notRegular());

    BlockFile missing(folder.entryPath("missing"));
    EXPECT_FALSE(folder.openRead(missing, "missing"));
    const IoFailure failure = takeIoFailure();
    EXPECT_EQ(failure.code, 2);
    EXPECT_TRUE(failure.concernsOnlyThisPath());
}

TEST_P(FolderHandleTest, ListingOfAHandleKeepsItsHooksAndStartsAtTheBeginning) {
    for (const char* name : {"one", "two", "three"})
        writeFile(std::string("root/a/") + name, "x");
    FolderHandle folder;
    ASSERT_TRUE(folder.openBeneath(rootHandle, "a", path("root/a")));
    {
        FolderListing first(folder);
        ListEntry entry;
        ASSERT_TRUE(first.next(entry));
    }
    FolderListing listing(folder);
    EXPECT_EQ(namesIn(listing), (std::set<std::string>{".", "..", "b", "one", "two", "three"}));
    EXPECT_EQ(listing.error(), 0);

    readsBeforeFailure = 2;
    setReadDirHook(failingReadDir);
    FolderListing failing(folder, ListingDetail::KindOnly);
    EXPECT_EQ(namesIn(failing).size(), 2u);
    EXPECT_EQ(failing.error(), 1117);
}

TEST_P(FolderHandleTest, FolderThatMayOnlyBeSearchedTakesFilesButCannotBeListed) {
    ASSERT_EQ(::chmod(path("root/a").c_str(), 0300), 0);
    ASSERT_TRUE(chownTree(root));
    const int status = runAsNobody([&] {
        FolderHandle top;
        FolderHandle folder;
        if (!top.openRoot(path("root")) || !folder.openBeneath(top, "a", path("root/a")))
            return 1;
        if (folder.readable())
            return 2;
        BlockFile out(folder.entryPath("f"));
        if (!folder.createNew(out, "f"))
            return 3;
        FolderListing listing(folder);
        if (listing.error() != 5)
            return 4;
        FolderHandle below;
        return below.openBeneath(top, "a/b", path("root/a/b")) ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
}

TEST_P(FolderHandleTest, UnnamedFileGetsItsNameInTheFolderItWasMadeIn) {
    FolderHandle folder;
    ASSERT_TRUE(folder.openBeneath(rootHandle, "a", path("root/a")));
    BlockFile file(folder.path());
    if (!folder.createUnnamed(file))
        GTEST_SKIP() << "no O_TMPFILE here (code " << takeIoResult() << ")";
    ASSERT_EQ(file.write("unnamed", 7), 7);
    EXPECT_EQ(std::distance(fs::directory_iterator(path("root/a")), {}), 1); // only "b"
    ASSERT_EQ(::rename(path("root/a").c_str(), path("root/moved").c_str()), 0);
    ASSERT_TRUE(folder.linkAs(file, "named"));
    EXPECT_EQ(file.path(), path("root/a/named"));
    EXPECT_EQ(readFile(path("root/moved/named")), "unnamed");
    BlockFile again(folder.path());
    ASSERT_TRUE(folder.createUnnamed(again));
    EXPECT_FALSE(folder.linkAs(again, "named"));
    EXPECT_EQ(takeIoResult(), 183);
}

TEST_P(FolderHandleTest, FolderThatCouldNotBeOpenedFailsEachEntryAsItsOpenFailed) {
    FolderHandle missing;
    EXPECT_FALSE(missing.openRoot(path("nowhere")));
    EXPECT_EQ(takeIoResult(), 3);
    BlockFile file(missing.entryPath("f"));
    EXPECT_FALSE(missing.createNew(file, "f"));
    const IoFailure failure = takeIoFailure();
    EXPECT_EQ(failure.code, 3);
    EXPECT_TRUE(failure.concernsOnlyThisPath()); // one folder, not the medium
    EXPECT_FALSE(missing.status("f"));
    FolderHandle moved(std::move(missing));
    EXPECT_FALSE(moved.createLink("x", "l"));
    EXPECT_EQ(takeIoResult(), 3);
    FolderHandle assigned;
    assigned = std::move(moved);
    EXPECT_FALSE(assigned.makeFolder("d"));
    EXPECT_EQ(takeIoResult(), 3);
    FolderHandle below;
    EXPECT_FALSE(below.openBeneath(assigned, "a", path("nowhere/a")));
    EXPECT_EQ(takeIoResult(), 3);
    EXPECT_FALSE(fs::exists(path("nowhere")));
}

INSTANTIATE_TEST_SUITE_P(OpenBeneath, FolderHandleTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });
