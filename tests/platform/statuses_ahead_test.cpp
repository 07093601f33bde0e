#include "as_nobody.h"
#include "folder_handle.h"
#include "pending_io.h"
#include "statuses_ahead.h"
#include "temp_folder.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace qm;
using namespace qm::test;

namespace {

class StatusesAheadTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        std::filesystem::create_directories(path("root/a/sub"));
        for (int i = 0; i < 50; ++i)
            writeFile("root/a/f" + std::to_string(i), std::string(i, 'x'));
        ::symlink("f1", path("root/a/link").c_str());
        ASSERT_TRUE(top->openRoot(path("root")));
        takeIoResult();
    }
    /// Reads `relative` ahead and, once that is done, opens it as the caller would and takes
    /// it (read again if a busy machine kept the reading from being done in time).
    bool readAndTake(StatusesAhead& ahead, const std::string& relative, FolderHandle& folder,
                     int waitMs = 30) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            ahead.read(top, relative);
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
            folder = FolderHandle();
            EXPECT_TRUE(folder.openBeneath(*top, relative, path("root/" + relative)));
            if (ahead.take(folder))
                return true;
        }
        return false;
    }
    static void expectSame(const std::optional<PathStatus>& a, const std::optional<PathStatus>& b,
                           const std::string& name) {
        ASSERT_EQ(a.has_value(), b.has_value()) << name;
        if (!a)
            return;
        EXPECT_EQ(a->kind, b->kind) << name;
        EXPECT_EQ(a->size, b->size) << name;
        EXPECT_EQ(a->mode, b->mode) << name;
        EXPECT_EQ(a->mtime.tv_sec, b->mtime.tv_sec) << name;
        EXPECT_EQ(a->mtime.tv_nsec, b->mtime.tv_nsec) << name;
    }
    std::shared_ptr<FolderHandle> top = std::make_shared<FolderHandle>();
};

} // namespace

TEST_F(StatusesAheadTest, KnowsWhatTheFolderWouldSayAndNothingElse) {
    StatusesAhead ahead;
    FolderHandle folder;
    ASSERT_TRUE(readAndTake(ahead, "a", folder));
    for (const char* name : {"f0", "f7", "f49", "sub", "link"})
        expectSame(ahead.find(name), folder.status(name), name);
    EXPECT_FALSE(ahead.find("missing"));
    EXPECT_FALSE(ahead.find("."));
    ahead.forget();
    EXPECT_FALSE(ahead.find("f7"));

    // Taken once only: the next folder needs a reading of its own.
    FolderHandle again;
    ASSERT_TRUE(again.openBeneath(*top, "a", path("root/a")));
    EXPECT_FALSE(ahead.take(again));
    EXPECT_FALSE(ahead.find("f7"));
}

TEST_F(StatusesAheadTest, FolderSwappedSinceItWasReadIsNotTaken) {
    StatusesAhead ahead;
    ahead.read(top, "a");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::filesystem::rename(path("root/a"), path("root/a-old"));
    std::filesystem::create_directories(path("root/a"));
    writeFile("root/a/f7", "other");
    FolderHandle folder;
    ASSERT_TRUE(folder.openBeneath(*top, "a", path("root/a")));
    EXPECT_FALSE(ahead.take(folder));
    EXPECT_FALSE(ahead.find("f7"));
    EXPECT_FALSE(ahead.find("f8"));
}

TEST_F(StatusesAheadTest, ReadingOldOrNeverDoneIsNotTaken) {
    StatusesAhead ahead;
    FolderHandle folder;
    ASSERT_TRUE(folder.openBeneath(*top, "a", path("root/a")));
    EXPECT_FALSE(ahead.take(folder)); // nothing asked

    ahead.read(top, "a");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(ahead.take(folder)); // the folder may have changed since

    ahead.read(top, "missing"); // the caller meets the failure itself
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(ahead.take(folder));
    EXPECT_EQ(takeIoResult(), 0); // and nothing pending here from the reading thread
}

TEST_F(StatusesAheadTest, HugeFolderIsKnownInPartTheRestIsAsked) {
    std::filesystem::create_directories(path("root/huge"));
    const int files = 8192 + 300;
    for (int i = 0; i < files; ++i)
        writeFile("root/huge/f" + std::to_string(i), "");
    StatusesAhead ahead;
    FolderHandle folder;
    ASSERT_TRUE(readAndTake(ahead, "huge", folder, 150));
    int known = 0;
    for (int i = 0; i < files; ++i) {
        const std::string name = "f" + std::to_string(i);
        if (const auto status = ahead.find(name)) {
            ++known;
            expectSame(status, folder.status(name), name);
        }
    }
    EXPECT_EQ(known, 8192);
}

TEST_F(StatusesAheadTest, WithoutAThreadNothingIsKnown) {
    ASSERT_TRUE(chownTree(root));
    const int status = runAsNobody([&] {
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0)
            return 1;
        StatusesAhead ahead;
        FolderHandle folder;
        ahead.read(top, "a");
        if (!folder.openBeneath(*top, "a", path("root/a")))
            return 2;
        return ahead.take(folder) || ahead.find("f1") ? 3 : 0;
    });
    EXPECT_EQ(status, 0);
}
