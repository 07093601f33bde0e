#include "temp_folder.h"
#include "temp_journal.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

bool anyName(const std::string&) {
    return true;
}

class TempJournalTest : public TempFolderTest {
protected:
    std::string journals() const { return path("state"); }
    static void touch(const std::string& file) { std::ofstream(file) << "x"; }
};

TEST_F(TempJournalTest, ANameWithALineBreakIsRecoveredWhole) {
    const std::string odd = path("two\nlines");
    touch(odd);
    touch(path("two"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* journal = new TempJournal(journals());
        journal->record(odd);
        ::_exit(journal->isOpen() ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(TempJournal::recoverEnded(journals(), anyName), 1);
    EXPECT_FALSE(std::filesystem::exists(odd));
    EXPECT_TRUE(std::filesystem::exists(path("two")));
}

TEST_F(TempJournalTest, ClosedJournalLeavesNothingAndClearForgets) {
    const std::string file = path("t");
    {
        TempJournal journal(journals());
        ASSERT_TRUE(journal.isOpen());
        journal.record(file);
        journal.clear(); // renamed into place: the name is a real file now
        touch(file);
        EXPECT_EQ(TempJournal::recoverEnded(journals(), anyName), 0); // ours is still locked
    }
    EXPECT_TRUE(std::filesystem::is_empty(journals()));
    EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(TempJournalTest, WithoutAStateFolderRunsGoOnUnrecorded) {
    touch(path("blocker"));
    TempJournal journal(path("blocker/state")); // a file where the folder would be
    EXPECT_FALSE(journal.isOpen());
    journal.record(path("x")); // harmless
    EXPECT_EQ(TempJournal::recoverEnded(path("blocker/state"), anyName), 0);
    EXPECT_EQ(TempJournal::recoverEnded("", anyName), 0);
}

} // namespace
} // namespace qm::test
