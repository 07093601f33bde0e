// The journal of temporaries: what a killed run wrote down goes at the next recovery that can
// reach it, an entry goes only once its temporary is confirmed gone, and a journal is read as
// untrusted input that never leads to anything but a temporary of ours.
#include "folder_handle.h"
#include "folders.h"
#include "mounted_medium.h"
#include "pending_io.h"
#include "temp_folder.h"
#include "temp_journal.h"
#include "tmpfs_mount.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {
namespace {

namespace fs = std::filesystem;

/// The names the tests' temporaries have.
bool isTestTemp(const std::string& name) {
    return name.starts_with("tmp.");
}

bool anyName(const std::string&) {
    return true;
}

std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TempJournalTest : public TempFolderTest {
public:
    // for the cases' own set-up
    using TempFolderTest::path;
    using TempFolderTest::writeFile;
    /// A medium a case mounts, unmounted before the folder goes.
    std::unique_ptr<TmpfsMount> medium;

protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        fs::create_directories(path("tree/sub"));
    }
    std::string state() const { return path("state"); }
    std::string tree() const { return path("tree"); }
    static void touch(const std::string& file) { std::ofstream(file) << "x"; }

    /// A journal left as a killed run leaves it: `work` fills it, then the child dies
    /// without closing or removing anything.
    void killedRun(const std::function<void(TempJournal&)>& work,
                   std::vector<std::string> roots = {},
                   std::optional<std::string> stateFolder = std::nullopt) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto* journal = new TempJournal(stateFolder.value_or(state()),
                                            roots.empty() ? std::vector{tree()} : roots);
            work(*journal);
            ::_exit(::testing::Test::HasFailure() ? 4 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the killed run failed";
    }
    /// Writes `name` down in `folder`, then makes it, as a copy does.
    static void makeTemp(TempJournal& journal, const std::string& folder, const std::string& name) {
        FolderHandle handle;
        ASSERT_TRUE(handle.openRoot(folder));
        ASSERT_TRUE(journal.record(handle, name)) << journal.failure();
        touch(joinPath(folder, name));
    }
    RecoveryCount recover(std::vector<std::string> roots = {}) const {
        return TempJournal::recoverEnded(state(), roots.empty() ? std::vector{tree()} : roots,
                                         isTestTemp);
    }
    /// The journals in `folder`: the state folder's or a tree's.
    static std::vector<std::string> journalsIn(const std::string& folder) {
        std::vector<std::string> names;
        if (fs::is_directory(folder))
            for (const auto& entry : fs::directory_iterator(folder)) {
                const std::string name = entry.path().filename();
                if (name.starts_with("journal-") || isTreeJournalName(name))
                    names.push_back(entry.path());
            }
        return names;
    }
    std::string onlyStateJournal() const {
        const auto names = journalsIn(path("state"));
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? std::string() : names.front();
    }
};

TEST_F(TempJournalTest, ANameWithALineBreakIsRecoveredWhole) {
    touch(path("tree/two"));
    killedRun([&](TempJournal& journal) { makeTemp(journal, tree(), "two\nlines"); });
    const RecoveryCount count = TempJournal::recoverEnded(state(), {tree()}, anyName);
    EXPECT_EQ(count.removed, 1);
    EXPECT_FALSE(fs::exists(path("tree/two\nlines")));
    EXPECT_TRUE(fs::exists(path("tree/two")));
    EXPECT_TRUE(journalsIn(state()).empty());
}

TEST_F(TempJournalTest, RenamedTemporariesAreForgottenAndWhatIsLeftOutlivesTheRun) {
    {
        TempJournal journal(state(), {tree()});
        makeTemp(journal, path("tree/sub"), "tmp.a");
        makeTemp(journal, path("tree/sub"), "tmp.b");
        fs::rename(path("tree/sub/tmp.a"), path("tree/sub/final")); // put in place
        journal.settle();
        EXPECT_EQ(journal.size(), 1u);   // tmp.b is still there
        EXPECT_EQ(recover().removed, 0); // ours is locked while the run lives
        EXPECT_TRUE(fs::exists(path("tree/sub/tmp.b")));
    }
    // closed with tmp.b still there (its removal failed): the journal stays for the next run
    EXPECT_EQ(journalsIn(state()).size(), 1u);
    EXPECT_EQ(recover().removed, 1);
    EXPECT_FALSE(fs::exists(path("tree/sub/tmp.b")));
    EXPECT_TRUE(journalsIn(state()).empty());
    EXPECT_TRUE(fs::exists(path("tree/sub/final")));
}

TEST_F(TempJournalTest, AFailedCreateTakesBackOnlyANameNothingHas) {
    TempJournal journal(state(), {tree()});
    FolderHandle sub;
    ASSERT_TRUE(sub.openRoot(path("tree/sub")));
    ASSERT_TRUE(journal.record(sub, "tmp.never"));
    ASSERT_TRUE(journal.record(sub, "tmp.made")); // its create reported a failure, yet it is there
    touch(path("tree/sub/tmp.made"));
    journal.withdrawIfAbsent(sub, "tmp.made");
    journal.withdrawIfAbsent(sub, "tmp.never");
    EXPECT_EQ(journal.size(), 1u);
    const std::string left = slurp(onlyStateJournal());
    EXPECT_NE(left.find(" sub/tmp.made\n"), std::string::npos) << left;
    EXPECT_EQ(left.find("tmp.never"), std::string::npos) << left;
    // a folder that could not be opened makes nothing, so nothing is written down
    FolderHandle closed;
    EXPECT_FALSE(closed.openRoot(path("missing")));
    takeIoResult();
    EXPECT_TRUE(journal.record(closed, "tmp.x"));
    EXPECT_EQ(journal.size(), 1u);
}

TEST_F(TempJournalTest, WithoutAHomeTheUserDatabaseGivesTheStateFolder) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::unsetenv("XDG_STATE_HOME");
        ::unsetenv("HOME");
        const passwd* user = ::getpwuid(::geteuid());
        const bool found =
            user && tempJournalFolder() == std::string(user->pw_dir) + "/.local/state/quillmark";
        ::_exit(found ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0) << tempJournalFolder();
}

struct UnusableState {
    const char* name;
    std::function<std::string(TempJournalTest&)> prepare; ///< the state folder to use
};

class UnusableStateFolder : public TempJournalTest,
                            public ::testing::WithParamInterface<UnusableState> {};

// Where the state folder cannot be used, the tree's root keeps the journal.
TEST_P(UnusableStateFolder, TheTreeKeepsTheJournalAndTheNextRunFindsIt) {
    const std::string folder = GetParam().prepare(*this);
    if (medium)
        QM_REQUIRE_MOUNTED(*medium);
    if (HasFatalFailure())
        return;
    killedRun([&](TempJournal& journal) { makeTemp(journal, path("tree/sub"), "tmp.a"); }, {},
              folder);
    ASSERT_EQ(journalsIn(tree()).size(), 1u);
    EXPECT_TRUE(journalsIn(path("tree/sub")).empty()); // in the root only
    const RecoveryCount count = TempJournal::recoverEnded(folder, {tree()}, isTestTemp);
    EXPECT_EQ(count.removed, 1);
    EXPECT_FALSE(fs::exists(path("tree/sub/tmp.a")));
    EXPECT_TRUE(journalsIn(tree()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnusableStateFolder,
    ::testing::Values(UnusableState{"NoneKnown", [](TempJournalTest&) { return std::string(); }},
                      UnusableState{"BlockedByAFile",
                                    [](TempJournalTest& t) {
                                        t.writeFile("blocker", "in the way");
                                        return t.path("blocker/quillmark");
                                    }},
                      UnusableState{"WritableByOthers",
                                    [](TempJournalTest& t) {
                                        fs::create_directories(t.path("shared/quillmark"));
                                        fs::permissions(t.path("shared/quillmark"), fs::perms::all);
                                        return t.path("shared/quillmark");
                                    }},
                      UnusableState{"Full",
                                    [](TempJournalTest& t) {
                                        fs::create_directories(t.path("home"));
                                        t.medium =
                                            std::make_unique<TmpfsMount>(t.path("home"), "64k");
                                        if (t.medium->mounted()) {
                                            fs::create_directories(t.path("home/quillmark"));
                                            EXPECT_TRUE(t.medium->fill());
                                        }
                                        return t.path("home/quillmark");
                                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TempJournalTest, FailedRemovalKeepsItsEntry) {
    TmpfsMount sub(path("tree/sub"), "1m");
    QM_REQUIRE_MOUNTED(sub);
    killedRun([&](TempJournal& journal) {
        makeTemp(journal, path("tree/sub"), "tmp.a");
        makeTemp(journal, tree(), "tmp.b");
    });
    ASSERT_TRUE(sub.setReadOnly(true)); // every removal there fails
    RecoveryCount count = recover();
    EXPECT_EQ(count.removed, 1);
    EXPECT_EQ(count.waiting, 1);
    EXPECT_TRUE(fs::exists(path("tree/sub/tmp.a")));
    EXPECT_FALSE(fs::exists(path("tree/tmp.b")));
    // the journal names what is left, and only that
    const std::string left = slurp(onlyStateJournal());
    EXPECT_NE(left.find(" sub/tmp.a\n"), std::string::npos) << left;
    EXPECT_EQ(left.find("tmp.b"), std::string::npos) << left;
    ASSERT_TRUE(sub.setReadOnly(false));
    count = recover();
    EXPECT_EQ(count.removed, 1);
    EXPECT_FALSE(fs::exists(path("tree/sub/tmp.a")));
    EXPECT_TRUE(journalsIn(state()).empty());
}

TEST_F(TempJournalTest, OnlyEntriesBelowTheRunsRootsAreTouched) {
    fs::create_directories(path("other"));
    killedRun(
        [&](TempJournal& journal) {
            makeTemp(journal, path("tree/sub"), "tmp.a");
            makeTemp(journal, path("other"), "tmp.b");
        },
        {tree(), path("other")});
    EXPECT_EQ(recover({path("other")}).removed, 1);
    EXPECT_TRUE(fs::exists(path("tree/sub/tmp.a")));
    EXPECT_FALSE(fs::exists(path("other/tmp.b")));
    // a root given with a final "/" or a doubled one is the same tree
    EXPECT_EQ(recover({root + "//tree/"}).removed, 1);
    EXPECT_FALSE(fs::exists(path("tree/sub/tmp.a")));
    EXPECT_TRUE(journalsIn(state()).empty());
}

TEST_F(TempJournalTest, NothingButATemporaryOfOursIsRemoved) {
    fs::create_directories(path("outside/sub"));
    touch(path("outside/sub/tmp.linked"));
    touch(path("tree/notes.txt"));
    killedRun([&](TempJournal& journal) {
        makeTemp(journal, path("tree/sub"), "tmp.linked");
        makeTemp(journal, tree(), "notes.txt");
        FolderHandle root;
        ASSERT_TRUE(root.openRoot(tree()));
        ASSERT_TRUE(journal.record(root, "tmp.folder"));
        fs::create_directory(path("tree/tmp.folder"));
        // a name that was somebody else's when it was to be made is taken back
        touch(path("tree/tmp.taken"));
        ASSERT_TRUE(journal.record(root, "tmp.taken"));
        journal.withdrawTaken(root, "tmp.taken");
    });
    // the folder is swapped for a link to a look-alike outside the tree
    fs::remove_all(path("tree/sub"));
    fs::create_directory_symlink(path("outside/sub"), path("tree/sub"));

    const RecoveryCount count = recover();
    EXPECT_EQ(count.removed, 0);
    EXPECT_TRUE(fs::exists(path("outside/sub/tmp.linked")));
    EXPECT_TRUE(fs::exists(path("tree/notes.txt")));
    EXPECT_TRUE(fs::is_directory(path("tree/tmp.folder")));
    EXPECT_TRUE(fs::exists(path("tree/tmp.taken")));
}

/// A copy a killed run had just named, its time not yet set again; `meanwhile` is what
/// happened to it before the next run.
struct TimeCase {
    const char* name;
    std::function<void(const std::string& copy)> meanwhile;
    bool timeSet; ///< the recovery gives the copy its source's time
};

class PendingTimeTest : public TempJournalTest, public ::testing::WithParamInterface<TimeCase> {};

constexpr timespec SourceTime{1700000000, 0};

TEST_P(PendingTimeTest, TheNextRunSetsItOnlyOnTheCopyAsItWasNamed) {
    const std::string copy = path("tree/sub/copy");
    killedRun([&](TempJournal& journal) {
        FolderHandle sub;
        ASSERT_TRUE(sub.openRoot(path("tree/sub")));
        ASSERT_TRUE(journal.recordTime(sub, "copy", SourceTime, 5));
        std::ofstream(copy) << "bytes"; // named now: the medium gave it the time of its naming
    });
    GetParam().meanwhile(copy);
    const auto before = fs::exists(copy) ? fs::last_write_time(copy) : fs::file_time_type{};
    const RecoveryCount count = recover();
    EXPECT_EQ(count.timesSet, GetParam().timeSet ? 1 : 0);
    EXPECT_EQ(count.removed, 0);
    if (fs::exists(copy)) {
        struct stat st {};
        ASSERT_EQ(::stat(copy.c_str(), &st), 0);
        if (GetParam().timeSet)
            EXPECT_EQ(st.st_mtim.tv_sec, SourceTime.tv_sec);
        else
            EXPECT_TRUE(fs::last_write_time(copy) == before);
    }
    EXPECT_TRUE(journalsIn(state()).empty()); // done either way
}

void setSeconds(const std::string& file, std::time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PendingTimeTest,
    ::testing::Values(TimeCase{"AsNamed", [](const std::string&) {}, true},
                      TimeCase{"SetBeforeTheKill",
                               [](const std::string& copy) { setSeconds(copy, 1700000001); },
                               false},
                      TimeCase{"EditedSince",
                               [](const std::string& copy) {
                                   // the user's own save a while later
                                   setSeconds(copy, ::time(nullptr) + 3600);
                               },
                               false},
                      TimeCase{"AnotherSize",
                               [](const std::string& copy) { std::ofstream(copy) << "longer"; },
                               false},
                      TimeCase{"Gone", [](const std::string& copy) { fs::remove(copy); }, false},
                      TimeCase{"AFolderInItsPlace",
                               [](const std::string& copy) {
                                   fs::remove(copy);
                                   fs::create_directory(copy);
                               },
                               false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TempJournalTest, APendingTimeGoesOnceTheCopyHasItOrTookNoName) {
    TempJournal journal(state(), {tree()});
    FolderHandle sub;
    ASSERT_TRUE(sub.openRoot(path("tree/sub")));
    ASSERT_TRUE(journal.recordTime(sub, "kept", SourceTime, 1));
    ASSERT_TRUE(journal.recordTime(sub, "refused", SourceTime, 1));
    ASSERT_TRUE(journal.recordTime(sub, "wrong", SourceTime, 1));
    for (const char* name : {"kept", "refused", "wrong"})
        touch(path(std::string("tree/sub/") + name));
    setSeconds(path("tree/sub/kept"), SourceTime.tv_sec);
    journal.withdrawTime(sub, "refused"); // what has that name is not the copy
    journal.settle();
    // the copy whose time could not be set waits for the next run
    EXPECT_EQ(journal.size(), 1u);
    const std::string left = slurp(onlyStateJournal());
    EXPECT_NE(left.find(" sub/wrong "), std::string::npos) << left;
}

/// A killed run's journal as it was left, changed by `plant` before the recovery.
struct Planted {
    const char* name;
    std::function<void(TempJournalTest&, const std::string& journal)> plant;
    bool removed; ///< the journal still counts as ours
};

class PlantedJournal : public TempJournalTest, public ::testing::WithParamInterface<Planted> {};

TEST_P(PlantedJournal, OnlyOurOwnJournalCounts) {
    killedRun([&](TempJournal& journal) { makeTemp(journal, path("tree/sub"), "tmp.a"); });
    GetParam().plant(*this, onlyStateJournal());
    if (IsSkipped())
        return;
    // a watchdog, not a clock: a recovery that reads what it should not must still end
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60);
        ::_exit(recover().removed);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the recovery hung or crashed";
    EXPECT_EQ(WEXITSTATUS(status), GetParam().removed ? 1 : 0);
    EXPECT_EQ(fs::exists(path("tree/sub/tmp.a")), !GetParam().removed);
}

void rewrite(const std::string& file, const std::function<std::string(std::string)>& change) {
    const std::string bytes = change(slurp(file));
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlantedJournal,
    ::testing::Values(Planted{"AsLeft", [](TempJournalTest&, const std::string&) {}, true},
                      Planted{"CutShort",
                              [](TempJournalTest&, const std::string& journal) {
                                  // a write cut short: the unfinished line is no entry
                                  std::ofstream(journal, std::ios::app) << "0 /home/x tmp.b";
                              },
                              true},
                      Planted{"FromAnotherMachine",
                              [](TempJournalTest&, const std::string& journal) {
                                  rewrite(journal, [](std::string bytes) {
                                      const std::size_t at = bytes.find("machine ") + 8;
                                      // as long as this machine's: only the text differs
                                      const std::size_t length = bytes.find('\n', at) - at;
                                      const char other = bytes[at] == '0' ? '1' : '0';
                                      return bytes.replace(at, length, length, other);
                                  });
                              },
                              false},
                      Planted{"OlderFormat",
                              [](TempJournalTest& t, const std::string& journal) {
                                  fs::remove(journal);
                                  std::ofstream(t.path("state/pending-1-0123456789abcdef"))
                                      << t.path("tree/sub/tmp.a") << '\0';
                              },
                              false},
                      Planted{"MalformedLine",
                              [](TempJournalTest&, const std::string& journal) {
                                  std::ofstream(journal, std::ios::app) << "0 /x/../y tmp.b\n";
                              },
                              false},
                      Planted{"OverlongLine",
                              [](TempJournalTest&, const std::string& journal) {
                                  std::ofstream(journal, std::ios::app)
                                      << "0 /" << std::string(40000, 'x') << " tmp.b\n";
                              },
                              false},
                      Planted{"Oversize",
                              [](TempJournalTest&, const std::string& journal) {
                                  fs::resize_file(journal, 200ull << 20);
                              },
                              false},
                      Planted{"ALink",
                              [](TempJournalTest& t, const std::string& journal) {
                                  fs::rename(journal, t.path("elsewhere"));
                                  fs::create_symlink(t.path("elsewhere"), journal);
                              },
                              false},
                      Planted{"HardLinked",
                              [](TempJournalTest& t, const std::string& journal) {
                                  fs::create_hard_link(journal, t.path("second"));
                              },
                              false},
                      Planted{"AnotherUsers",
                              [](TempJournalTest&, const std::string& journal) {
                                  if (::geteuid() != 0)
                                      GTEST_SKIP() << "giving a file away needs root";
                                  ASSERT_EQ(::chown(journal.c_str(), 65534, 65534), 0);
                              },
                              false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qm::test
