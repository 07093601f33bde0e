// Real backups and synchronisations in a child process, killed with SIGKILL at random
// moments. After every kill no file may be lost or half-written and the source must be
// untouched; a following run must finish the job and leave no temporaries.
#include "child_process.h"
#include "profile_file.h"
#include "profile_table.h"
#include "support.h"
#include "tree_state.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace qm;
using namespace qm::test;

namespace {

struct Mode {
    const char* type;
    bool sync;
};

class KilledRun : public ::testing::TestWithParam<Mode> {
protected:
    /// Rows of the profile file as cells.
    std::vector<std::vector<std::string>> profileCells() const {
        ProfileTable table;
        LoadProfiles(table, start);
        std::vector<std::vector<std::string>> rows;
        for (int r = 1; r < table.RowCount(); ++r) {
            rows.emplace_back();
            for (int c = 0; c < ProfileTable::ColumnCount; ++c)
                rows.back().push_back(table.cell(c, r));
        }
        return rows;
    }

    /// The path of the file a conflict copy was kept from ("f (conflict ...).txt" -> "f.txt");
    /// any other path unchanged.
    static std::string conflictBase(const std::string& path) {
        const std::size_t mark = path.rfind(" (conflict ");
        const std::size_t end = mark == std::string::npos ? mark : path.find(')', mark);
        if (end == std::string::npos || path.find('/', mark) != std::string::npos)
            return path;
        return path.substr(0, mark) + path.substr(end + 1);
    }

    /// Each file of `now` must be its own earlier state, a complete copy of its twin's, or,
    /// under a conflict name, the earlier state of the file it was kept from;
    /// a file that existed must still exist. Returns the number of offending files.
    static int checkTree(const std::string& name, const TreeState& before, const TreeState& twin,
                         const TreeState& now) {
        int bad = 0;
        for (const auto& [path, state] : now) {
            auto own = before.find(path);
            auto other = twin.find(path);
            const bool asBefore = own != before.end() && own->second == state;
            const bool asTwin = other != twin.end() && other->second == state;
            // a version a synchronisation replaced after edits in both trees, kept aside in
            // its own tree and then carried into the other
            const auto keptHere = before.find(conflictBase(path));
            const auto keptThere = twin.find(conflictBase(path));
            const bool asKept = (keptHere != before.end() && keptHere->second == state) ||
                                (keptThere != twin.end() && keptThere->second == state);
            if (!asBefore && !asTwin && !asKept) {
                ADD_FAILURE() << name << "/" << path << " is neither its previous version nor "
                              << "a complete copy (" << state.bytes.size() << " bytes)";
                ++bad;
            }
        }
        for (const auto& [path, state] : before)
            if (!now.count(path)) {
                ADD_FAILURE() << name << "/" << path << " was lost";
                ++bad;
            }
        return bad;
    }

    RunFolders folders{"killed", GetParam().type, "Killed"};
    const std::string &start = folders.start, &a = folders.a, &b = folders.b;
};

TEST_P(KilledRun, NothingIsLostOrHalfWritten) {
    const Mode mode = GetParam();
    const int wantedKills = static_cast<int>(envNumber("QM_KILLS", 30));
    const auto seed = static_cast<std::uint64_t>(envNumber("QM_KILL_SEED", 4242)) + mode.sync;
    std::printf("seed %llu, %d kills\n", static_cast<unsigned long long>(seed), wantedKills);
    TreeMaker maker(seed);
    std::mt19937_64 rng(seed);

    TreeState treeA = maker.make(40);
    TreeState treeB = mode.sync ? maker.make(12) : TreeState{};
    for (const auto& [path, state] : treeA)
        putFile(a, path, state);
    for (const auto& [path, state] : treeB)
        putFile(b, path, state);

    // Folders of the target swapped for links to a folder outside both trees: no run may
    // write through them, whenever it is killed.
    const std::string outside = folders.root.path() + "/outside";
    putFile(outside, "sentinel", FileState{"untouched", {1'600'000'000, 0}, 0644});
    const TreeState outsideBefore = snapshot(outside);
    std::vector<std::string> plantedLinks;

    double estimate = 1.0; // seconds a run takes; learnt from runs that end before the kill
    int kills = 0, completed = 0, bad = 0;
    const std::string output = folders.root.path() + "/child.out";
    for (int round = 0; kills < wantedKills && round < 4 * wantedKills; ++round) {
        const TreeState beforeA = snapshot(a);
        const TreeState beforeB = snapshot(b);
        const auto rowsBefore = profileCells();

        const double delay = std::uniform_real_distribution<double>(0, estimate)(rng);
        RunChild child(start, 1, output);
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        if (child.kill()) {
            ++kills;
        } else {
            ASSERT_TRUE(WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0)
                << readFile(output);
            estimate = std::max(0.02, child.elapsed());
            ++completed;
        }

        std::vector<std::string> temps;
        const TreeState nowA = snapshot(a, &temps);
        const TreeState nowB = snapshot(b, &temps);
        if (mode.sync) {
            bad += checkTree("a", beforeA, beforeB, nowA);
        } else if (nowA != beforeA) {
            ADD_FAILURE() << "the source changed:\n" << describeDifference(beforeA, nowA);
            ++bad;
        }
        bad += checkTree("b", beforeB, beforeA, nowB);
        if (snapshot(outside) != outsideBefore) {
            ADD_FAILURE() << "written through a link:\n"
                          << describeDifference(outsideBefore, snapshot(outside));
            ++bad;
        }

        // The profile file is the one before the run or one the run saved.
        const auto rows = profileCells();
        ASSERT_EQ(rows.size(), rowsBefore.size());
        for (int c : {0, 1, 2, 3, 6})
            EXPECT_EQ(rows[0][c], rowsBefore[0][c]);
        const std::string& status = rows[0][ColStatus];
        EXPECT_TRUE(status == rowsBefore[0][ColStatus] || status == "Done") << status;
        if (status != rowsBefore[0][ColStatus]) {
            EXPECT_FALSE(rows[0][ColLastRun].empty());
        }
        if (HasFailure())
            break;

        // Something new to copy next time, in both trees when they swap roles; now and then
        // a new folder whose twin in the target is a link to the outside.
        if (round % 3 == 0) {
            const std::string name = "planted" + std::to_string(round);
            treeA[name + "/inside"] = FileState{"planted " + name, {1'700'000'000, 0}, 0644};
            ASSERT_EQ(::symlink(outside.c_str(), (b + "/" + name).c_str()), 0);
            plantedLinks.push_back(b + "/" + name);
        }
        maker.mutate(treeA, 8);
        for (const auto& [path, state] : treeA)
            if (!nowA.count(path) || !(nowA.at(path) == state))
                putFile(a, path, state);
        treeA = snapshot(a);
        if (mode.sync) {
            treeB = snapshot(b);
            maker.mutate(treeB, 3);
            for (const auto& [path, state] : treeB)
                if (!nowB.count(path) || !(nowB.at(path) == state))
                    putFile(b, path, state);
        }
    }
    std::printf("%d kills, %d runs ended before their kill\n", kills, completed);
    recordFigure("kills", kills);
    recordFigure("files_lost_or_corrupted", bad);
    EXPECT_GE(kills, wantedKills);

    // A synchronisation leaves the user's links as they are; without them the run to the end
    // mends everything.
    if (mode.sync)
        for (const std::string& link : plantedLinks)
            ::unlink(link.c_str());
    RunChild last(start, 1, output);
    const int status = last.wait(300);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(output);
    std::vector<std::string> temps;
    const TreeState finalA = snapshot(a, &temps);
    const TreeState finalB = snapshot(b, &temps);
    EXPECT_TRUE(temps.empty()) << temps.size() << " temporaries left, first " << temps[0];
    EXPECT_EQ(describeDifference(finalA, finalB), "");
    EXPECT_EQ(describeDifference(outsideBefore, snapshot(outside)), "");
    EXPECT_EQ(profileCells()[0][ColStatus], "Done");
}

INSTANTIATE_TEST_SUITE_P(Modes, KilledRun,
                         ::testing::Values(Mode{"BackUP", false}, Mode{"Syncro", true}),
                         [](const auto& info) { return info.param.sync ? "Sync" : "Backup"; });

} // namespace
