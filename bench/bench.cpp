// Times a first full backup and an unchanged second run: cp -a, rsync -a, the engine and the
// window.
//
//   quillmark-bench [--quick] WORKDIR
//
// The engine runs in a child process (this program with --run-engine) so that its peak
// memory is its own; the window likewise (--run-window), on Qt's offscreen platform. Each
// child times its own run, so neither program start nor window creation is counted.

#include "clock.h"
#include "engine.h"
#include "format_settings.h"
#include "profile_file.h"
#include "profile_table.h"
#include "quillmark_application.h"
#include "run_view.h"
#include "unit1.h"

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextBlock>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <ftw.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

/// The window as the benchmark needs it: nothing shown, errors kept.
class QuietView : public qm::RunView {
public:
    void setStatus(const std::string&) override {}
    void appendLog(const std::string& line) override {
        lastLog = line;
        ++logLines;
    }
    void clearLog() override { logLines = 0; }
    void setProgress(int) override {}
    int askYesNo(const std::string&) override { return 7; }
    void showError(const std::string& message) override { errors += message + "\n"; }
    void showTopLevelError(const std::string& message) override { errors += message + "\n"; }
    void pumpEvents() override {}
    void repaintTable() override {}
    void setRunControlsEnabled(bool) override {}
    void makeCurrentRow(int) override {}
    void selectCell(int, int) override {}
    std::string errors;
    std::string lastLog;
    int logLines = 0;
};

/// The desktop without its dialogs: a run that asks or fails is recorded, never waits.
class QuietShell : public qm::QtShellServices {
public:
    int messageDialog(const std::string& text, qm::DialogKind, qm::DialogButtons) override {
        errors += text + "\n";
        return qm::ResultNo;
    }
    void topLevelError(const std::string& text) override { errors += text + "\n"; }
    std::string errors;
};

struct TreeShape {
    int topFolders, subFolders, filesPerFolder, emptyFiles;
    std::int64_t maxFileSize, bigFileSize;
};

std::uint64_t rng = 88172645463325252ull;
std::uint64_t nextRandom() {
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return rng;
}

void writeBytes(const std::string& path, std::int64_t size, const std::vector<char>& noise) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(path.c_str());
        std::exit(2);
    }
    std::int64_t left = size;
    while (left > 0) {
        std::size_t offset = nextRandom() % (noise.size() / 2);
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::int64_t>(left, noise.size() / 2));
        if (::write(fd, noise.data() + offset, chunk) != static_cast<ssize_t>(chunk)) {
            std::perror(path.c_str());
            std::exit(2);
        }
        left -= static_cast<std::int64_t>(chunk);
    }
    ::close(fd);
}

struct TreeStats {
    std::int64_t files = 0, folders = 0, bytes = 0;
};

TreeStats generate(const std::string& root, const TreeShape& shape) {
    std::vector<char> noise(2 << 20);
    for (auto& c : noise)
        c = static_cast<char>(nextRandom());
    TreeStats stats;
    fs::create_directories(root);
    int empties = shape.emptyFiles;
    for (int t = 0; t < shape.topFolders; ++t) {
        std::string top = root + "/project" + std::to_string(t);
        for (int s = -1; s < shape.subFolders; ++s) {
            std::string folder = s < 0 ? top : top + "/part" + std::to_string(s);
            fs::create_directory(folder);
            ++stats.folders;
            for (int f = 0; f < shape.filesPerFolder; ++f) {
                std::int64_t size =
                    empties-- > 0
                        ? 0
                        : static_cast<std::int64_t>(nextRandom() % (shape.maxFileSize + 1));
                writeBytes(folder + "/file" + std::to_string(f) + ".dat", size, noise);
                ++stats.files;
                stats.bytes += size;
            }
        }
    }
    for (int b = 0; b < 2 && shape.bigFileSize > 0; ++b) {
        writeBytes(root + "/big" + std::to_string(b) + ".bin", shape.bigFileSize, noise);
        ++stats.files;
        stats.bytes += shape.bigFileSize;
    }
    return stats;
}

TreeStats measure(const std::string& root) {
    static TreeStats stats;
    stats = {};
    ::nftw(
        root.c_str(),
        [](const char*, const struct stat* st, int type, FTW*) {
            if (type == FTW_F && S_ISREG(st->st_mode)) {
                ++stats.files;
                stats.bytes += st->st_size;
            } else if (type == FTW_D) {
                ++stats.folders;
            }
            return 0;
        },
        64, FTW_PHYS);
    return stats;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// How a child is started and what is kept of it.
struct ChildIo {
    long* peakKiB = nullptr;       ///< filled with its peak memory
    std::string* output = nullptr; ///< filled with its standard output
    bool offscreen = false;        ///< runs on Qt's offscreen platform
};

/// Runs a command; returns its wall time.
double runTimed(const std::vector<std::string>& args, ChildIo io = {}) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (io.output && ::pipe(pipeFds) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        if (io.output) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        }
        if (io.offscreen)
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execvp(argv[0], argv.data());
        std::perror(argv[0]);
        ::_exit(127);
    }
    if (io.output) {
        ::close(pipeFds[1]);
        io.output->clear();
        char chunk[4096];
        ssize_t got;
        while ((got = ::read(pipeFds[0], chunk, sizeof chunk)) > 0)
            io.output->append(chunk, static_cast<std::size_t>(got));
        ::close(pipeFds[0]);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    double elapsed = seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
        std::exit(3);
    }
    if (io.peakKiB)
        *io.peakKiB = usage.ru_maxrss;
    return elapsed;
}

/// Reads every source byte once so that no tool pays for a cold cache.
void warmCache(const std::string& root) {
    runTimed({"sh", "-c", "find '" + root + "' -type f -exec cat {} + > /dev/null"});
}

void syncAll() {
    ::sync();
}

/// Row 1: one backup of `source` into `target` that has never run.
void setBenchProfile(qm::ProfileTable& table, const std::string& source,
                     const std::string& target) {
    table.writeHeader();
    const std::array<std::string, qm::ProfileTable::ColumnCount> cells = {
        "BackUP", "Bench", source, target, "NEVER", "Pending", "NPAODN"};
    for (int column = 0; column < qm::ProfileTable::ColumnCount; ++column)
        table.setCell(column, 1, cells[static_cast<std::size_t>(column)]);
}

/// Child side: one profile run of the engine, as "Run Selected Profile" does it.
int runEngine(const std::string& source, const std::string& target, const std::string& start) {
    qm::ProfileTable table;
    setBenchProfile(table, source, target);
    qm::RunState state;
    state.StartFolder = start;
    state.SelectedRow = 1;
    QuietView view;
    qm::FormatSettings format;
    qm::SystemClock clock;
    qm::Engine engine(table, view, state, format, clock);
    const auto began = std::chrono::steady_clock::now();
    engine.runProfile();
    const double elapsed = seconds(began);
    if (!view.errors.empty() || table.cell(qm::ColStatus, 1) != "Done") {
        std::fprintf(stderr, "engine run failed: %s\n", view.errors.c_str());
        return 1;
    }
    std::printf("%.6f %d\n", elapsed, view.logLines);
    return 0;
}

/// The profile file the window finds in its start folder: one backup of `source`.
void writeProfileFile(const std::string& source, const std::string& target,
                      const std::string& start) {
    qm::ProfileTable table;
    setBenchProfile(table, source, target);
    SaveProfiles(table, start);
}

/// Child side: the window started in `start`, on its list page, and "Run Selected Profile".
int runWindow(int argc, char** argv) {
    const std::string start = argv[2];
    if (::chdir(start.c_str()) != 0) {
        std::perror(start.c_str());
        return 1;
    }
    qm::QuillmarkApplication app(argc, argv);
    QuietShell shell;
    app.setShell(&shell);
    qm::TForm1 form(shell);
    form.show();
    form.BitBtn2->click();
    QCoreApplication::processEvents();
    const auto begin = std::chrono::steady_clock::now();
    form.Button16Click();
    const double elapsed = seconds(begin);
    // What the user finally sees once the window has caught up.
    QCoreApplication::processEvents();
    const QString status = form.StatusBar1->currentMessage();
    const QTextBlock last = form.Memo1->document()->lastBlock();
    if (!shell.errors.empty() || form.table().cell(qm::ColStatus, 1) != "Done" ||
        last.text() != status || form.ProgressBar1->value() != 100) {
        std::fprintf(stderr, "window run failed: %s status \"%s\" last log \"%s\" progress %d\n",
                     shell.errors.c_str(), qPrintable(status), qPrintable(last.text()),
                     form.ProgressBar1->value());
        return 1;
    }
    std::printf("%.6f %d\n", elapsed, form.Memo1->document()->blockCount());
    return 0;
}

/// A child's own run: its time and the number of log lines it showed.
struct ChildRun {
    double seconds = 0;
    int logLines = 0;
    long peakKiB = 0;
};

ChildRun runChild(const std::vector<std::string>& args, bool offscreen) {
    ChildRun run;
    std::string output;
    runTimed(args, {&run.peakKiB, &output, offscreen});
    if (std::sscanf(output.c_str(), "%lf %d", &run.seconds, &run.logLines) != 2) {
        std::fprintf(stderr, "%s %s: no result\n", args[0].c_str(), args[1].c_str());
        std::exit(3);
    }
    return run;
}

/// Turns of the engine and the window per run: single runs swing with the disk's other
/// traffic, since every batch waits for syncfs.
constexpr int kTurns = 3;

struct Row {
    std::string name;
    double first = 0, second = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--run-engine") == 0)
        return runEngine(argv[2], argv[3], argv[4]);
    if (argc == 3 && std::strcmp(argv[1], "--run-window") == 0)
        return runWindow(argc, argv);

    bool quick = false;
    std::string work;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            work = argv[i];
    }
    if (work.empty()) {
        std::fprintf(stderr, "usage: quillmark-bench [--quick] WORKDIR\n");
        return 1;
    }
    work = fs::absolute(work).string();
    const std::string self = fs::canonical("/proc/self/exe").string();

    // ~800 MB in 20,000 files and 2,000 folders; the quick tree is a tenth of it.
    const TreeShape shape = quick ? TreeShape{10, 19, 10, 3, 67000, 8 << 20}
                                  : TreeShape{40, 49, 10, 10, 67000, 64 << 20};
    const TreeShape many =
        quick ? TreeShape{50, 19, 10, 0, 200, 0} : TreeShape{100, 49, 20, 0, 200, 0};

    fs::remove_all(work);
    fs::create_directories(work + "/start");
    std::printf("Generating the tree in %s ...\n", work.c_str());
    TreeStats src = generate(work + "/src", shape);
    std::printf("  %lld files, %lld folders, %.0f MB\n", static_cast<long long>(src.files),
                static_cast<long long>(src.folders), src.bytes / 1048576.0);
    syncAll();
    warmCache(work + "/src");

    fs::create_directories(work + "/start-window");
    writeProfileFile(work + "/src", work + "/qm-window", work + "/start-window");

    std::vector<Row> rows = {
        {"cp -a"}, {"cp -a + sync"}, {"rsync -a"}, {"quillmark engine"}, {"quillmark window"}};
    long enginePeak = 0, windowPeak = 0;
    std::vector<double> engineTurns[2], windowTurns[2];
    for (int run = 0; run < 2; ++run) {
        auto pick = [&](Row& row) -> double& { return run == 0 ? row.first : row.second; };
        fs::create_directories(work + "/cp");
        pick(rows[0]) = runTimed({"cp", "-a", work + "/src/.", work + "/cp/"});
        syncAll();
        fs::create_directories(work + "/cp-sync");
        auto start = std::chrono::steady_clock::now();
        runTimed({"cp", "-a", work + "/src/.", work + "/cp-sync/"});
        syncAll();
        pick(rows[1]) = seconds(start);
        fs::create_directories(work + "/rsync");
        pick(rows[2]) = runTimed({"rsync", "-a", work + "/src/", work + "/rsync/"});
        syncAll();
        // The engine and the window take turns; the disk's other traffic reaches both alike.
        for (int turn = 0; turn < kTurns; ++turn) {
            if (run == 0 && turn > 0) {
                fs::remove_all(work + "/qm");
                fs::remove_all(work + "/qm-window");
                syncAll();
            }
            fs::create_directories(work + "/qm");
            const ChildRun engine = runChild(
                {self, "--run-engine", work + "/src", work + "/qm", work + "/start"}, false);
            enginePeak = std::max(enginePeak, engine.peakKiB);
            syncAll();
            fs::create_directories(work + "/qm-window");
            const ChildRun window = runChild({self, "--run-window", work + "/start-window"}, true);
            windowPeak = std::max(windowPeak, window.peakKiB);
            syncAll();
            if (window.logLines != engine.logLines) {
                std::fprintf(stderr, "window showed %d log lines, the engine wrote %d\n",
                             window.logLines, engine.logLines);
                return 4;
            }
            if (turn == 0) {
                pick(rows[3]) = engine.seconds;
                pick(rows[4]) = window.seconds;
            }
            engineTurns[run].push_back(engine.seconds);
            windowTurns[run].push_back(window.seconds);
        }
    }
    for (const char* copy : {"/qm", "/qm-window"}) {
        TreeStats copied = measure(work + copy);
        if (copied.files != src.files || copied.bytes != src.bytes) {
            std::fprintf(stderr, "%s differs: %lld files %lld bytes\n", copy,
                         static_cast<long long>(copied.files),
                         static_cast<long long>(copied.bytes));
            return 4;
        }
    }

    // Peak memory over a tree of many small files.
    std::printf("Generating the many-files tree ...\n");
    TreeStats small = generate(work + "/many", many);
    fs::create_directories(work + "/many-qm");
    const ChildRun manyRun =
        runChild({self, "--run-engine", work + "/many", work + "/many-qm", work + "/start"}, false);

    std::printf("\n| Run | %s | %s |\n|---|---|---|\n", "first full backup (s)",
                "unchanged second run (s)");
    for (const Row& row : rows)
        std::printf("| %s | %.2f | %.2f |\n", row.name.c_str(), row.first, row.second);
    std::printf("\n| Ratio | Value | Target |\n|---|---|---|\n");
    std::printf("| engine / cp -a, first backup | %.2f | <= 1.0 |\n",
                rows[3].first / rows[0].first);
    std::printf("| engine / (cp -a + sync), first backup | %.2f | |\n",
                rows[3].first / rows[1].first);
    std::printf("| engine / rsync -a, unchanged run | %.2f | <= 0.8 |\n",
                rows[3].second / rows[2].second);
    auto best = [](const std::vector<double>& times) {
        return *std::min_element(times.begin(), times.end());
    };
    std::printf("| window / engine, first backup, best of %d | %.2f | <= 1.10 |\n", kTurns,
                best(windowTurns[0]) / best(engineTurns[0]));
    std::printf("| window / engine, unchanged run, best of %d | %.2f | <= 1.10 |\n", kTurns,
                best(windowTurns[1]) / best(engineTurns[1]));
    std::printf("| engine peak memory, %lld files (MB) | %.1f | |\n",
                static_cast<long long>(src.files), enginePeak / 1024.0);
    std::printf("| window peak memory, %lld files (MB) | %.1f | |\n",
                static_cast<long long>(src.files), windowPeak / 1024.0);
    std::printf("| engine peak memory, %lld files (MB), first backup %.2f s | %.1f | < 100 |\n",
                static_cast<long long>(small.files), manyRun.seconds, manyRun.peakKiB / 1024.0);
    std::printf("\nEvery turn (s):");
    for (int run = 0; run < 2; ++run) {
        std::printf(run == 0 ? " first backup" : "; unchanged run");
        for (int turn = 0; turn < kTurns; ++turn)
            std::printf(" %.2f/%.2f", engineTurns[run][turn], windowTurns[run][turn]);
    }
    std::printf(" (engine/window)\n");
    return 0;
}
