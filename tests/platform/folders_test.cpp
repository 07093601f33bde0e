#include "as_nobody.h"
#include "attributes.h"
#include "folders.h"
#include "listing.h"
#include "pending_io.h"
#include "temp_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace qm;
using namespace qm::test;

class FoldersTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        takeIoResult();
    }
};

TEST_F(FoldersTest, ChangeDirectoryEntersFoldersAndRefusesFiles) {
    ASSERT_TRUE(createFolder(path("sub")));
    ASSERT_TRUE(changeDirectory(path("sub")));
    EXPECT_EQ(currentDirectory(), std::filesystem::canonical(path("sub")).string());
    ASSERT_TRUE(changeDirectory(".."));
    std::string before = currentDirectory();

    writeFile("file.txt", "x");
    EXPECT_FALSE(changeDirectory(path("file.txt")));
    EXPECT_EQ(takeIoResult(), 3);
    EXPECT_EQ(currentDirectory(), before);

    EXPECT_FALSE(changeDirectory(path("missing")));
    EXPECT_EQ(takeIoResult(), 3);
    EXPECT_FALSE(changeDirectory(""));
    EXPECT_NE(takeIoResult(), 0);
    EXPECT_EQ(currentDirectory(), before);
}

TEST_F(FoldersTest, CurrentDirectoryOfRootKeepsItsSlash) {
    ASSERT_TRUE(changeDirectory("/"));
    EXPECT_EQ(currentDirectory(), "/");
}

TEST_F(FoldersTest, CreateFolderReportsExistingAndMissingParent) {
    ASSERT_TRUE(createFolder(path("a2")));
    EXPECT_EQ(takeIoResult(), 0);

    EXPECT_FALSE(createFolder(path("a2")));
    EXPECT_EQ(takeIoResult(), 183);

    EXPECT_FALSE(createFolder(path("a/b")));
    EXPECT_EQ(takeIoResult(), 3);
    EXPECT_FALSE(std::filesystem::exists(path("a")));
}

TEST_F(FoldersTest, CreateFolderWithoutPermissionLeavesFive) {
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    ASSERT_TRUE(createFolder(path("locked")));
    ASSERT_EQ(::chmod(path("locked").c_str(), 0555), 0);
    std::string target = path("locked/new");
    int status = runAsNobody([&] {
        if (createFolder(target))
            return 1;
        return takeIoResult() == 5 ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(JoinPath, PutsExactlyOneSeparatorBetween) {
    EXPECT_EQ(joinPath("/home/u", "x.txt"), "/home/u/x.txt");
    EXPECT_EQ(joinPath("/home/u/", "x.txt"), "/home/u/x.txt");
    EXPECT_EQ(joinPath("/", "x"), "/x");
    EXPECT_EQ(joinPath("rel", "/x"), "rel/x");
}

class ListingTest : public TempFolderTest {
protected:
    std::map<std::string, ListEntry> listAll(const std::string& folder,
                                             ListingDetail detail = ListingDetail::Full) {
        std::map<std::string, ListEntry> entries;
        FolderListing listing(folder, detail);
        EXPECT_EQ(listing.error(), 0);
        ListEntry entry;
        while (listing.next(entry))
            entries[entry.name] = entry;
        return entries;
    }

    void makeSparse(const std::string& name, off_t size) {
        int fd = ::open(path(name).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0) << "sparse files not supported here";
        ::close(fd);
    }
};

TEST_F(ListingTest, DotEntriesAreFoldersOfSizeZero) {
    writeFile("data.bin", "12345");
    auto entries = listAll(root);
    ASSERT_EQ(entries.size(), 3u);
    for (const char* name : {".", ".."}) {
        ASSERT_TRUE(entries.count(name)) << name;
        EXPECT_TRUE(entries[name].attributes & faDirectory);
        EXPECT_EQ(entries[name].size, 0);
        EXPECT_EQ(entries[name].kind, EntryKind::Folder);
    }
    const ListEntry& file = entries["data.bin"];
    EXPECT_EQ(file.size, 5);
    EXPECT_EQ(file.kind, EntryKind::File);
    EXPECT_EQ(file.attributes, faArchive);
}

TEST_F(ListingTest, RootListsWithoutError) {
    auto entries = listAll("/");
    EXPECT_TRUE(entries.count("tmp"));
    EXPECT_TRUE(entries["tmp"].attributes & faDirectory);
}

TEST_F(ListingTest, AttributesAndKindsFollowLstat) {
    writeFile(".hidden", "h");
    writeFile("readonly", "r");
    ASSERT_EQ(::chmod(path("readonly").c_str(), 0444), 0);
    ASSERT_TRUE(std::filesystem::create_directory(path("sub")));
    std::filesystem::create_directory_symlink(path("sub"), path("link"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0644), 0);

    auto entries = listAll(root);
    EXPECT_EQ(entries[".hidden"].attributes, faHidden | faArchive);
    EXPECT_EQ(entries["readonly"].attributes, faReadOnly | faArchive);
    EXPECT_EQ(entries["readonly"].mode, 0444u);
    EXPECT_EQ(entries["sub"].attributes, faDirectory);
    EXPECT_EQ(entries["sub"].size, 0);
    // A link to a folder is not a folder.
    EXPECT_EQ(entries["link"].kind, EntryKind::Symlink);
    EXPECT_FALSE(entries["link"].attributes & faDirectory);
    EXPECT_EQ(entries["fifo"].kind, EntryKind::Special);
    EXPECT_FALSE(entries["fifo"].attributes & faDirectory);

    // A listing of kinds only must tell folders, links and special files apart the same way.
    auto kinds = listAll(root, ListingDetail::KindOnly);
    ASSERT_EQ(kinds.size(), entries.size());
    for (const auto& [name, entry] : entries) {
        EXPECT_EQ(kinds[name].kind, entry.kind) << name;
        EXPECT_EQ(kinds[name].attributes & faDirectory, entry.attributes & faDirectory) << name;
    }
}

TEST_F(ListingTest, SizesBeyondFourGigabytesAreKeptWhole) {
    makeSparse("three", 3221225472LL);
    makeSparse("fourplus", 4294967306LL);
    auto entries = listAll(root);
    EXPECT_EQ(entries["three"].size, 3221225472LL);
    EXPECT_EQ(entries["fourplus"].size, 4294967306LL);
    EXPECT_EQ(static_cast<std::int32_t>(static_cast<std::uint32_t>(entries["three"].size)),
              -1073741824);
    EXPECT_EQ(static_cast<std::int32_t>(static_cast<std::uint32_t>(entries["fourplus"].size)), 10);
}

TEST_F(ListingTest, FailedListingReportsAndKeepsTheEntry) {
    ListEntry entry;
    entry.name = "kept";
    entry.size = 42;

    FolderListing missing(path("missing"));
    EXPECT_EQ(missing.error(), 3);
    EXPECT_FALSE(missing.next(entry));
    EXPECT_EQ(entry.name, "kept");
    EXPECT_EQ(entry.size, 42);
    missing.close();
    missing.close(); // harmless twice

    writeFile("plain", "x");
    FolderListing notFolder(path("plain"));
    EXPECT_EQ(notFolder.error(), 3);
}

TEST_F(ListingTest, EndOfListingLeavesTheLastEntry) {
    FolderListing listing(root);
    ListEntry entry;
    int count = 0;
    while (listing.next(entry))
        ++count;
    EXPECT_EQ(count, 2);
    std::string last = entry.name;
    EXPECT_FALSE(listing.next(entry));
    EXPECT_EQ(entry.name, last);
    listing.close();
    EXPECT_FALSE(listing.next(entry));
}

TEST_F(ListingTest, DeniedFolderGivesFive) {
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    ASSERT_TRUE(std::filesystem::create_directory(path("closed")));
    ASSERT_EQ(::chmod(path("closed").c_str(), 0700), 0);
    std::string folder = path("closed");
    EXPECT_EQ(runAsNobody([&] { return FolderListing(folder).error() == 5 ? 0 : 1; }), 0);
}
