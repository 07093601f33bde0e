// Targets that refuse writes: failed and short writes through the platform's write seam, a
// file-size limit in a child, and a tiny mounted file system. Whatever fails, the previous
// target stays, nothing half-written carries the source's time, the error is shown and the
// profile row does not keep saying "Busy".
#include "block_file.h"
#include "child_process.h"
#include "clock.h"
#include "engine.h"
#include "format_settings.h"
#include "headless_view.h"
#include "profile_file.h"
#include "profile_table.h"
#include "support.h"
#include "tree_state.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qm;
using namespace qm::test;

namespace {

// The write seam takes a plain function, so the fault plan lives in globals.
enum class Fault { None, FailOnce, FailFromThenOn, ShortOnce, ShortThenFull };
Fault fault = Fault::None;
int faultErrno = EIO;
int faultAt = 0;
int writeCalls = 0;
bool faultFired = false;

ssize_t faultyWrite(int fd, const void* buffer, std::size_t count) {
    ++writeCalls;
    const bool due =
        writeCalls == faultAt ||
        (writeCalls > faultAt && (fault == Fault::FailFromThenOn || fault == Fault::ShortThenFull));
    if (fault == Fault::None || !due)
        return ::write(fd, buffer, count);
    faultFired = true;
    const bool shortNow =
        writeCalls == faultAt && (fault == Fault::ShortOnce || fault == Fault::ShortThenFull);
    if (shortNow && count > 1)
        return ::write(fd, buffer, count / 2);
    errno = faultErrno;
    return -1;
}

/// The source path of every "   PATH N KBytes/Sec" line: files the run reports as written.
std::vector<std::string> reportedWritten(const std::vector<std::string>& log) {
    std::vector<std::string> paths;
    const std::string tail = " KBytes/Sec";
    for (const std::string& line : log) {
        if (!line.starts_with("   ") || !line.ends_with(tail) || line.starts_with("   Error"))
            continue;
        std::string body = line.substr(3, line.size() - 3 - tail.size());
        body.erase(body.rfind(' '));
        paths.push_back(body);
    }
    return paths;
}

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override {
        source = maker.make(10);
        source["big"] = FileState{maker.randomBytes(1'300'000), {1'700'000'000, 5}, 0644};
        source["sub/block"] = FileState{maker.randomBytes(524'288), {1'700'000'100, 0}, 0600};
        for (const auto& [path, state] : source)
            putFile(a, path, state);
        // Older versions of some files are the backup that must survive.
        for (const auto& [path, state] : source)
            if (maker.pick(2) == 0) {
                FileState old = state;
                old.bytes = maker.randomBytes(old.bytes.size() / 2 + 3);
                old.mtime.tv_sec -= 1000;
                previous[path] = old;
                putFile(b, path, old);
            }
    }

    /// What must hold after a run that may have failed anywhere.
    void checkAfterFailure(const std::vector<std::string>& written, const std::string& what) {
        SCOPED_TRACE(what);
        std::vector<std::string> temps;
        const TreeState target = snapshot(b, &temps);
        EXPECT_TRUE(temps.empty()) << temps.size() << " temporaries left";
        EXPECT_EQ(describeDifference(source, snapshot(a)), "") << "the source changed";
        for (const auto& [path, state] : target) {
            auto old = previous.find(path);
            const bool asBefore = old != previous.end() && old->second == state;
            const bool complete = source.count(path) && source.at(path) == state;
            EXPECT_TRUE(asBefore || complete) << path << " is neither the previous backup nor "
                                              << "a complete copy";
            if (!complete) {
                EXPECT_NE(state.mtime.tv_sec, source.at(path).mtime.tv_sec)
                    << path << " is incomplete but carries the source's time";
            }
        }
        for (const auto& [path, state] : previous)
            EXPECT_TRUE(target.count(path)) << path << ": the previous backup was lost";
        for (const std::string& full : written) {
            const std::string path = full.substr(a.size() + 1);
            EXPECT_TRUE(target.count(path) && target.at(path) == source.at(path))
                << path << " was reported as written but is not complete";
        }
        ProfileTable table;
        LoadProfiles(table, start);
        EXPECT_NE(table.cell(ColStatus, 1), "Busy");
    }

    /// After the fault is gone a run mends everything.
    void checkRepair() {
        HeadlessView view(state);
        runInProcess(view);
        EXPECT_TRUE(view.topLevelErrors.empty()) << view.topLevelErrors[0];
        EXPECT_EQ(describeDifference(source, snapshot(b)), "");
    }

    void runInProcess(HeadlessView& view) {
        state = RunState{};
        state.StartFolder = start;
        state.SelectedRow = 1;
        ProfileTable table;
        LoadProfiles(table, start);
        Engine engine(table, view, state, format, clock);
        engine.runProfile();
        ASSERT_EQ(::chdir(start.c_str()), 0);
        lastStatus = table.cell(ColStatus, 1);
    }

    void reset() {
        removeTree(b);
        ::mkdir(b.c_str(), 0755);
        for (const auto& [path, state] : previous)
            putFile(b, path, state);
    }

    RunFolders folders{"full", "BackUP", "Full"};
    const std::string &start = folders.start, &a = folders.a, &b = folders.b;
    TreeMaker maker{99};
    TreeState source, previous;
    RunState state;
    FormatSettings format;
    SystemClock clock;
    std::string lastStatus;
};

TEST_F(FullDisk, FailedAndShortWritesLoseNothing) {
    struct Plan {
        Fault kind;
        int err;
        const char* name;
    };
    const Plan plans[] = {{Fault::FailOnce, EIO, "EIO once"},
                          {Fault::FailFromThenOn, ENOSPC, "ENOSPC from then on"},
                          {Fault::ShortOnce, 0, "one short write"},
                          {Fault::ShortThenFull, ENOSPC, "short write, then full"},
                          {Fault::FailOnce, EDQUOT, "quota once"}};
    int injected = 0;
    for (const Plan& plan : plans) {
        for (int at = 1;; ++at) {
            reset();
            fault = plan.kind;
            faultErrno = plan.err;
            faultAt = at;
            writeCalls = 0;
            faultFired = false;
            HeadlessView view(state);
            setWriteHook(&faultyWrite);
            runInProcess(view);
            setWriteHook(nullptr);
            fault = Fault::None;
            const std::string what = std::string(plan.name) + " at write " + std::to_string(at);
            if (!faultFired)
                break; // the run had fewer writes than that
            ++injected;
            if (plan.kind == Fault::ShortOnce && view.topLevelErrors.empty()) {
                // A writer that goes on after a short write (the profile file's) absorbs it.
                EXPECT_EQ(lastStatus, "Done") << what;
                EXPECT_EQ(describeDifference(source, snapshot(b)), "") << what;
            } else {
                EXPECT_FALSE(view.topLevelErrors.empty()) << what << ": no error shown";
                EXPECT_EQ(lastStatus, "ERROR") << what;
            }
            EXPECT_TRUE(view.controlsEnabled) << what;
            checkAfterFailure(reportedWritten(view.log), what);
            checkRepair();
            if (HasFailure())
                return;
        }
    }
    recordFigure("faults_injected", injected);
    EXPECT_GT(injected, 20);
}

TEST_F(FullDisk, FileSizeLimitInChild) {
    const std::string output = folders.root.path() + "/child.out";
    RunChild child(start, 1, output, [] {
        // Ignoring SIGXFSZ turns the signal into EFBIG from write().
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{600'000, 600'000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    const int status = child.wait(120);
    const std::string out = readFile(output);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    // each file the limit refuses fails by itself, named; the others go on
    EXPECT_NE(out.find("LOG    Error 223 -> "), std::string::npos) << out;
    EXPECT_EQ(out.find("TOPLEVEL"), std::string::npos) << out;
    std::vector<std::string> log;
    for (std::size_t at = 0; (at = out.find("LOG ", at)) != std::string::npos;) {
        const std::size_t end = out.find('\n', at);
        log.push_back(out.substr(at + 4, end - at - 4));
        at = end;
    }
    checkAfterFailure(reportedWritten(log), "file-size limit");
    recordFigure("faults_injected", 1);
    checkRepair();
}

TEST_F(FullDisk, SmallMountedFileSystem) {
    reset();
    removeTree(b);
    ::mkdir(b.c_str(), 0755);
    if (::mount("tmpfs", b.c_str(), "tmpfs", 0, "size=1200k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                     << "); the file-size limit and the write seam cover a full disk";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{b};
    for (const auto& [path, state] : previous)
        putFile(b, path, state);
    for (int run = 0; run < 2; ++run) {
        HeadlessView view(state);
        runInProcess(view);
        ASSERT_FALSE(view.topLevelErrors.empty()) << "the disk cannot hold the backup";
        EXPECT_NE(view.topLevelErrors[0].find("112"), std::string::npos) << view.topLevelErrors[0];
        EXPECT_EQ(lastStatus, "ERROR");
        checkAfterFailure(reportedWritten(view.log), "tmpfs run " + std::to_string(run));
        recordFigure("faults_injected", 1);
    }
}

} // namespace
