// Strange trees, each placed in the source and in the target, in backups and in
// synchronisations: no crash, no hang, nothing written outside the target tree, every
// ordinary file copied and every failure named in the run log. Each case runs in a forked
// child (with an alarm), unprivileged where permissions are the point.
#include "as_nobody.h"
#include "clock.h"
#include "engine.h"
#include "exact_time.h"
#include "format_settings.h"
#include "headless_view.h"
#include "profile_file.h"
#include "profile_table.h"
#include "support.h"
#include "tree_state.h"

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qm;
using namespace qm::test;

namespace {

struct World {
    std::string root, start, a, b, outside;
    std::string here;  ///< the tree the case is placed in (a or b)
    bool sync = false; ///< both trees are written
    HeadlessView* view = nullptr;
};

struct Case {
    const char* name;
    std::function<void(World&)> build;
    /// Texts that must appear in the log or an error box (each failure named).
    std::function<std::vector<std::string>(const World&)> mention = {};
    bool unprivileged = false;
    /// Changes the world while the run is under way (called from the event pump).
    std::function<void(World&, int pump)> during = {};
    /// A file deep in the case's tree that must reach the other tree, or be named as failed.
    const char* leaf = nullptr;
};

/// `path` as the one text to name, when the case's tree is read by the run.
std::vector<std::string> named(const World& w, const std::string& path) {
    if (w.here == w.a || w.sync)
        return {path};
    return {};
}

void file(const std::string& path, const std::string& bytes, time_t when = 1'700'000'000) {
    writeFile(path, bytes);
    setFileTime(path, {when, 0});
}

/// Creates folders one level at a time with *at calls, so the path may exceed PATH_MAX.
void deepFolders(const std::string& base, const std::string& name, int levels,
                 const std::string& leafFile) {
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < levels && fd >= 0; ++i) {
        ::mkdirat(fd, name.c_str(), 0755);
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0) {
        int out = ::openat(fd, leafFile.c_str(), O_WRONLY | O_CREAT, 0644);
        if (out >= 0) {
            ::write(out, "deep", 4);
            ::close(out);
        }
        ::close(fd);
    }
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"symlink loop and a link to the root",
         [](World& w) {
             ::symlink("loop2", (w.here + "/loop1").c_str());
             ::symlink("loop1", (w.here + "/loop2").c_str());
             ::symlink(".", (w.here + "/self").c_str());
             ::symlink("/", (w.here + "/rootlink").c_str());
         }},
        {"unreadable folder",
         [](World& w) {
             ::mkdir((w.here + "/locked").c_str(), 0755);
             file(w.here + "/locked/inside", "hidden");
             ::chmod((w.here + "/locked").c_str(), 0);
         },
         [](const World& w) { return named(w, w.here + "/locked"); }, true},
        {"unreadable file",
         [](World& w) {
             file(w.here + "/secret", "secret");
             ::chmod((w.here + "/secret").c_str(), 0);
         },
         [](const World& w) { return named(w, w.here + "/secret"); }, true},
        {"FIFO and socket",
         [](World& w) {
             ::mkfifo((w.here + "/fifo").c_str(), 0644);
             int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s/sock", w.here.c_str());
             ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
             ::close(fd);
         },
         [](const World& w) { return named(w, w.here + "/fifo"); }},
        {"awkward names",
         [](World& w) {
             file(w.here + "/new\nline", "1");
             file(w.here + "/a->b", "2");
             file(w.here + "/bad\xff\xfe", "3");
             file(w.here + "/" + std::string(255, 'n'), "4");
         }},
        {"nesting 1000 folders deep",
         [](World& w) { deepFolders(w.here, "d", 1000, "bottom"); },
         {},
         false,
         {},
         "bottom"},
        {"path longer than 4096 bytes",
         [](World& w) { deepFolders(w.here, std::string(200, 'p'), 24, "far"); },
         {},
         false,
         {},
         "far"},
        {"files grow, shrink and vanish during the run",
         [](World& w) {
             for (const char* name : {"grows", "shrinks", "vanishes"})
                 file(w.here + "/" + name, std::string(1'500'000, 'g'));
         },
         {},
         false,
         [](World& w, int pump) {
             if (pump != 3)
                 return;
             int fd = ::open((w.here + "/grows").c_str(), O_WRONLY | O_APPEND);
             ::write(fd, "more", 4);
             ::close(fd);
             ::truncate((w.here + "/shrinks").c_str(), 10);
             ::unlink((w.here + "/vanishes").c_str());
         }},
        {"a folder removed during the run",
         [](World& w) {
             ::mkdir((w.here + "/gone").c_str(), 0755);
             file(w.here + "/gone/one", std::string(600'000, 'o'));
             file(w.here + "/gone/two", "two");
         },
         {},
         false,
         [](World& w, int pump) {
             if (pump == 2)
                 removeTree(w.here + "/gone");
         }},
        {"file where a folder is expected and folder where a file is",
         [](World& w) {
             const std::string& other = w.here == w.a ? w.b : w.a;
             ::mkdir((w.here + "/clash").c_str(), 0755);
             file(w.here + "/clash/in", "in");
             file(other + "/clash", "a file");
             file(w.here + "/clash2", "a file");
             ::mkdir((other + "/clash2").c_str(), 0755);
         },
         [](const World& w) {
             // Each clash, at the target path where it meets the other tree, once: a folder
             // that cannot be made is named and its files are not tried; the run goes on.
             std::vector<std::string> paths = {w.b + "/clash", w.b + "/clash2"};
             if (w.sync) {
                 paths.push_back(w.a + "/clash");
                 paths.push_back(w.a + "/clash2");
             }
             for (std::string& path : paths)
                 path = " -> " + path + "\n";
             return paths;
         }},
        {"target file is a link pointing outside",
         [](World& w) {
             const std::string& other = w.here == w.a ? w.b : w.a;
             file(w.here + "/victim", "new bytes", 1'800'000'000);
             ::symlink((w.outside + "/victim").c_str(), (other + "/victim").c_str());
         }},
    };
    return all;
}

/// Plain files every case carries in the source: these must always arrive.
const char* const PlainFiles[] = {"plain0", "zz/plain1", "plain2"};

/// Runs one case in this (child) process; returns the problems found.
std::string runCase(const Case& c, World& w) {
    std::string problems;
    const TreeState outsideBefore = snapshot(w.outside);
    const TreeState sourceBefore = snapshot(w.a);
    RunState state;
    state.StartFolder = w.start;
    state.SelectedRow = 1;
    HeadlessView view(state);
    w.view = &view;
    int pumps = 0;
    if (c.during)
        view.onPump = [&] { c.during(w, ++pumps); };
    ProfileTable table;
    LoadProfiles(table, w.start);
    FormatSettings format;
    SystemClock clock;
    Engine engine(table, view, state, format, clock);
    engine.runProfile();

    std::string shown = view.logText();
    for (const auto& box : view.topLevelErrors)
        shown += "TOPLEVEL " + box + "\n";
    for (const auto& box : view.errorBoxes)
        shown += "BOX " + box + "\n";
    if (!describeDifference(outsideBefore, snapshot(w.outside)).empty())
        problems += "wrote outside the target tree\n";
    if (!w.sync && !c.during && !describeDifference(sourceBefore, snapshot(w.a)).empty())
        problems += "changed the source\n";
    // None of these trees is a fault of the medium: the run always goes to its end, and
    // reads as a success exactly when nothing was named as failed.
    const std::string wantStatus = shown.find("   Error ") == std::string::npos ? "Done" : "ERROR";
    if (table.cell(ColStatus, 1) != wantStatus)
        problems += "row says " + table.cell(ColStatus, 1) + ", not " + wantStatus + "\n";
    if (shown.find("\nDONE! ") == std::string::npos)
        problems += "the pass did not reach its end\n";
    for (const char* plain : PlainFiles) {
        const std::string want = readFile(w.a + "/" + plain);
        struct stat info {};
        if (::lstat((w.b + "/" + plain).c_str(), &info) != 0 || readFile(w.b + "/" + plain) != want)
            problems += std::string("ordinary file not copied: ") + plain + "\n";
    }
    if (c.leaf && (w.here == w.a || w.sync)) {
        const std::string& other = w.here == w.a ? w.b : w.a;
        // find copes with paths beyond PATH_MAX
        const std::string command = "find '" + other + "' -name " + c.leaf + " | grep -q .";
        if (std::system(command.c_str()) != 0 && shown.find("Error") == std::string::npos)
            problems += std::string("neither copied nor named as failed: ") + c.leaf + "\n";
    }
    if (c.mention)
        for (const std::string& text : c.mention(w))
            if (shown.find(text) == std::string::npos)
                problems += "failure not named in the log: " + text + "\n";
    if (!problems.empty())
        problems += "--- log ---\n" + shown;
    return problems;
}

class HostileTree : public ::testing::TestWithParam<std::tuple<int, bool, bool>> {};

TEST_P(HostileTree, NoCrashNoHangNothingOutside) {
    const auto [index, inSource, sync] = GetParam();
    const Case& c = cases()[static_cast<std::size_t>(index)];
    TempFolder root("hostile");
    World w;
    w.root = root.path();
    w.start = w.root + "/start";
    w.a = w.root + "/a";
    w.b = w.root + "/b";
    w.outside = w.root + "/outside";
    w.sync = sync;
    w.here = inSource ? w.a : w.b;
    for (const auto& folder : {w.start, w.a, w.b, w.outside, w.a + "/zz"})
        ::mkdir(folder.c_str(), 0755);
    file(w.outside + "/victim", "must stay");
    for (const char* plain : PlainFiles)
        file(w.a + "/" + plain, std::string("ordinary ") + plain);
    writeFile(profileFilePath(w.start), std::string(sync ? "Syncro" : "BackUP") + "->Hostile->" +
                                            w.a + "->" + w.b + "->NEVER->Pending->NPAODN->\r\n");
    c.build(w);
    if (c.unprivileged) {
        // Root reads everything; hand the trees to nobody and run as nobody.
        chownTree(w.root);
    }

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(pipeFds[0]);
        ::alarm(60); // a hang ends as SIGALRM
        if (c.unprivileged && !dropToNobody())
            ::_exit(3);
        const std::string problems = runCase(c, w);
        ::write(pipeFds[1], problems.data(), problems.size());
        ::_exit(problems.empty() ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string problems;
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        problems.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    recordFigure("hostile_cases", 1);
    ASSERT_TRUE(WIFEXITED(status)) << c.name << ": the run crashed or hung (signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0) << c.name << (inSource ? " in the source" : " in the target")
                                      << (sync ? ", synchronisation" : ", backup") << ":\n"
                                      << problems;
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileTree,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(cases().size())),
                                            ::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             std::string name =
                                 cases()[static_cast<std::size_t>(std::get<0>(info.param))].name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name + (std::get<1>(info.param) ? "_InSource" : "_InTarget") +
                                    (std::get<2>(info.param) ? "_Sync" : "_Backup");
                         });

} // namespace
