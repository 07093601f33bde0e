#include "as_nobody.h"
#include "failing_read.h"
#include "folder_handle.h"
#include "listing.h"
#include "listing_reader.h"
#include "pending_io.h"
#include "temp_folder.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace qm;
using namespace qm::test;

namespace {

/// What a listing gives, field by field, in its order.
std::string describe(const ListEntry& entry) {
    return entry.name + " " + std::to_string(entry.size) + " " + std::to_string(entry.attributes) +
           " " + std::to_string(entry.mode) + " " + std::to_string(static_cast<int>(entry.kind)) +
           " " + std::to_string(entry.mtime.tv_sec) + "." + std::to_string(entry.mtime.tv_nsec);
}

template <typename Listing> std::vector<std::string> readAll(Listing& listing) {
    std::vector<std::string> entries;
    ListEntry entry;
    while (listing.next(entry))
        entries.push_back(describe(entry));
    return entries;
}

class ListingReaderTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        takeIoResult();
    }
    void TearDown() override {
        setReadDirHook(nullptr);
        TempFolderTest::TearDown();
    }
    /// A folder of `files` files of different sizes, a subfolder and a link.
    FolderHandle makeFolder(const std::string& name, int files) {
        std::filesystem::create_directories(path(name + "/sub"));
        for (int i = 0; i < files; ++i)
            writeFile(name + "/f" + std::to_string(i), std::string(i % 7, 'x'));
        ::symlink("f0", path(name + "/link").c_str());
        FolderHandle folder;
        EXPECT_TRUE(folder.openRoot(path(name)));
        return folder;
    }
};

} // namespace

// Far more entries than the reader holds ahead, then folders one after another through the
// same reader: everything arrives once, in the listing's own order, with every field.
TEST_F(ListingReaderTest, GivesWhatTheListingGivesFolderAfterFolder) {
    std::vector<FolderHandle> folders;
    for (const int files : {700, 0, 1, 64, 65, 3000}) // 3,000 names take several reads
        folders.push_back(makeFolder("d" + std::to_string(folders.size()), files));
    ListingReader reader;
    for (int round = 0; round < 2; ++round)
        for (const FolderHandle& folder : folders) {
            for (const ListingDetail detail : {ListingDetail::Files, ListingDetail::Full}) {
                FolderListing direct(folder, detail);
                const std::vector<std::string> expected = readAll(direct);
                reader.start(folder, detail);
                EXPECT_EQ(readAll(reader), expected) << folder.path();
                // and the names are the folder's, as the C library reads them
                std::set<std::string> names{".", ".."};
                for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
                    names.insert(entry.path().filename());
                std::set<std::string> listed;
                for (const std::string& line : expected)
                    listed.insert(line.substr(0, line.find(' ')));
                EXPECT_EQ(listed, names);
                EXPECT_EQ(expected.size(), names.size());
                EXPECT_EQ(reader.error(), 0);
                ListEntry entry;
                EXPECT_FALSE(reader.next(entry)); // and stays ended
            }
        }
}

TEST_F(ListingReaderTest, ReadFailingPartWayEndsWithItsCode) {
    const FolderHandle folder = makeFolder("d", 200);
    ListingReader reader;
    readsBeforeFailure = 150;
    setReadDirHook(failingReadDir);
    reader.start(folder, ListingDetail::Files);
    EXPECT_EQ(reader.error(), 0);
    EXPECT_EQ(readAll(reader).size(), 150u);
    EXPECT_EQ(reader.error(), 1117);

    // the next folder starts clean
    setReadDirHook(nullptr);
    reader.start(folder, ListingDetail::Files);
    EXPECT_EQ(readAll(reader).size(), 200u + 4u);
    EXPECT_EQ(reader.error(), 0);
}

TEST_F(ListingReaderTest, FolderThatCannotBeOpenedFailsAtOnce) {
    FolderHandle never;
    ListingReader reader;
    reader.start(never, ListingDetail::Files);
    EXPECT_NE(reader.error(), 0);
    ListEntry entry;
    EXPECT_FALSE(reader.next(entry));
}

// A caller that stops part-way (an error ends the run) must find the reader free at once,
// whether it is waiting for room or still reading; so must one that ends with it.
TEST_F(ListingReaderTest, LeftPartWayLetsGoOfTheFolder) {
    const FolderHandle big = makeFolder("big", 2000);
    const FolderHandle small = makeFolder("small", 3);
    for (const int taken : {0, 5, 127, 128, 129, 200, 1000, 2003}) {
        ListingReader reader;
        reader.start(big, ListingDetail::Files);
        ListEntry entry;
        for (int i = 0; i < taken; ++i)
            ASSERT_TRUE(reader.next(entry));
        reader.start(small, ListingDetail::Files);
        EXPECT_EQ(readAll(reader).size(), 3u + 4u);
        reader.start(big, ListingDetail::Files); // destroyed while reading
    }
}

TEST_F(ListingReaderTest, WithoutAThreadTheCallerReadsItAll) {
    makeFolder("d", 500);
    ASSERT_TRUE(chownTree(root));
    const int status = runAsNobody([&] {
        FolderHandle folder;
        if (!folder.openRoot(path("d")))
            return 1;
        FolderListing direct(folder, ListingDetail::Files);
        const std::vector<std::string> expected = readAll(direct);
        // no new thread for this user: the reader has none to start
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0)
            return 2;
        ListingReader reader;
        for (int round = 0; round < 3; ++round) {
            reader.start(folder, ListingDetail::Files);
            if (readAll(reader) != expected || reader.error() != 0)
                return 3;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}
