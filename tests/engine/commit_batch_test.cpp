// The commit batch on its own: the steps a copy goes through on its way to its name, what a
// kill between them leaves for the next run, and how a copy that cannot take its name ends.
#include "block_file.h"
#include "commit_batch.h"
#include "folder_handle.h"
#include "pending_io.h"
#include "temp_folder.h"
#include "temp_journal.h"
#include "temp_name.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

struct RecordingOwner : CommitBatch::Owner {
    void probe(ProbePoint point, const std::string& path) const override {
        steps.push_back(point);
        if (onProbe)
            onProbe(point, path);
    }
    void copyFailed(int code, const std::string& target, bool named) override {
        failures.push_back({code, target, named});
    }
    void copyPlaced(const PendingCopy&) override {}
    void copyLeftAlone(const std::string& target) override { leftAlone.push_back(target); }
    bool keepsChanged(const PathStatus&) const override { return false; }
    void versionKept(const PendingCopy&, const std::string&) override {}
    void journalRefused(const std::string&) override {}
    std::vector<std::string> passRoots() const override { return roots; }

    struct Failure {
        int code;
        std::string target;
        bool named;
    };
    mutable std::vector<ProbePoint> steps;
    std::function<void(ProbePoint, const std::string&)> onProbe;
    std::vector<Failure> failures;
    std::vector<std::string> leftAlone;
    std::vector<std::string> roots;
};

class CommitBatchTest : public TempFolderTest {
protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        fs::create_directories(path("dst"));
        owner.roots = {path("dst")};
        ASSERT_TRUE(folder->openRoot(path("dst")));
    }
    /// Writes `bytes` into a temporary for `name` and queues it, replacing what is there now.
    void queue(CommitBatch& batch, const std::string& name, const std::string& bytes) {
        std::string tempPath;
        auto file = batch.createTemp(*folder, tempPath);
        ASSERT_TRUE(file) << takeIoResult();
        ASSERT_EQ(file->write(bytes.data(), bytes.size()), static_cast<std::int64_t>(bytes.size()));
        batch.add({std::move(file), folder, tempPath, folder->entryPath(name), name, "src/" + name,
                   timespec{1700000000, 0}, folder->status(name), false,
                   static_cast<std::int64_t>(bytes.size())});
    }
    static std::string slurp(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::vector<std::string> temporaries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path("dst")))
            if (isTempName(entry.path().filename()))
                names.push_back(entry.path().filename());
        return names;
    }

    RecordingOwner owner;
    std::shared_ptr<FolderHandle> folder = std::make_shared<FolderHandle>();
};

TEST_F(CommitBatchTest, ACopyGoesThroughEachStepInTurn) {
    writeFile("dst/old", "old");
    CommitBatch batch(owner, 16);
    queue(batch, "new", "new bytes");
    queue(batch, "old", "replacing");
    batch.commit();
    EXPECT_EQ(slurp(path("dst/new")), "new bytes");
    EXPECT_EQ(slurp(path("dst/old")), "replacing");
    EXPECT_TRUE(temporaries().empty());
    EXPECT_TRUE(owner.failures.empty());
    using enum ProbePoint;
    // a new target takes its name straight away; a replaced one is named first
    const std::vector<ProbePoint> expected{Queued,     Queued, BeforeWriteOut,
                                           BeforeName, Named,  BeforeName};
    EXPECT_EQ(owner.steps, expected);
}

TEST_F(CommitBatchTest, AKillOnceACopyIsNamedLeavesItForTheNextRun) {
    writeFile("dst/old", "old");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        owner.onProbe = [](ProbePoint point, const std::string&) {
            if (point == ProbePoint::Named)
                ::_exit(0);
        };
        auto* batch = new CommitBatch(owner, 16); // dies with the process, as a killed run's
        queue(*batch, "old", "replacing");
        batch->commit();
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ended before its kill";
    ASSERT_EQ(temporaries().size(), 1u);

    const RecoveryCount count =
        TempJournal::recoverEnded(tempJournalFolder(), {path("dst")}, isTempName);
    EXPECT_EQ(count.removed, 1);
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(slurp(path("dst/old")), "old");
}

TEST_F(CommitBatchTest, ACopyThatCannotTakeItsNameFailsAloneAndTheRestGoOn) {
    writeFile("dst/a", "old a");
    writeFile("dst/b", "old b");
    writeFile("dst/c", "old c");
    owner.onProbe = [&](ProbePoint point, const std::string& target) {
        if (point != ProbePoint::BeforeName)
            return;
        if (target == path("dst/a")) { // a folder takes its name: the copy cannot go there
            fs::remove(target);
            fs::create_directory(target);
        }
        if (target == path("dst/b")) { // saved meanwhile, newer: left alone
            std::ofstream(target) << "saved";
        }
    };
    CommitBatch batch(owner, 16);
    for (const char* name : {"a", "b", "c"})
        queue(batch, name, std::string("new ") + name);
    batch.commit();
    ASSERT_EQ(owner.failures.size(), 1u);
    EXPECT_EQ(owner.failures[0].target, path("dst/a"));
    EXPECT_FALSE(owner.failures[0].named);
    EXPECT_EQ(owner.leftAlone, std::vector<std::string>{path("dst/b")});
    EXPECT_TRUE(fs::is_directory(path("dst/a")));
    EXPECT_EQ(slurp(path("dst/b")), "saved");
    EXPECT_EQ(slurp(path("dst/c")), "new c");
    EXPECT_TRUE(temporaries().empty());
    EXPECT_TRUE(batch.empty());
}

} // namespace
} // namespace qm::test
