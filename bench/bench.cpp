// Times Quillmark against cp -a and rsync -a on one file system: a first full backup and an
// unchanged run of a generated tree (cp -a, cp -a + sync, rsync -a, the engine, the window),
// 1 % of its files touched, and the unchanged run against the number of files.
//
//   quillmark-bench [--quick|--long] [--rounds N] [--max-files N] [--label TEXT]
//                   [--data FILE] WORKDIR
//   quillmark-bench --run-engine SOURCE TARGET START    (one engine run, timed)
//   quillmark-bench --write-profile SOURCE TARGET START (then --run-window START)
//
// Every contender runs once a round, in an order that turns each round; the tables give the
// median and the minimum over the rounds, of the times and of each round's ratios.
// The engine runs in a child process (this program with --run-engine) so that its peak
// memory is its own; the window likewise (--run-window), on Qt's offscreen platform. Each
// child times its own run, so neither program start nor window creation is counted.
// --data writes the scaling table for the plot.

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
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <ftw.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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
        // a failed run says which files and why (the first few lines of it)
        if ((line.starts_with("   Error") ||
             (lastLog.starts_with("   Error") && line.starts_with("      "))) &&
            ++errorLines <= 20)
            errors += line + "\n";
        lastLog = line;
        ++logLines;
    }
    void clearLog() override { logLines = 0; }
    void setProgress(int) override {}
    int askYesNo(const std::string&) override { return 7; }
    void showError(const std::string& message) override { errors += message + "\n"; }
    void showWarning(const std::string& message) override { errors += message + "\n"; }
    void showTopLevelError(const std::string& message) override { errors += message + "\n"; }
    void pumpEvents() override {}
    void repaintTable() override {}
    void setRunControlsEnabled(bool) override {}
    void makeCurrentRow(int) override {}
    void selectCell(int, int) override {}
    std::string errors;
    std::string lastLog;
    int logLines = 0;
    int errorLines = 0;
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

/// Writes top folders `firstTop` onwards of `shape` below `root`, so that a tree can grow.
TreeStats generate(const std::string& root, const TreeShape& shape, int firstTop = 0) {
    static std::vector<char> noise;
    if (noise.empty()) {
        noise.resize(2 << 20);
        for (auto& c : noise)
            c = static_cast<char>(nextRandom());
    }
    TreeStats stats;
    fs::create_directories(root);
    int empties = shape.emptyFiles;
    for (int t = firstTop; t < shape.topFolders; ++t) {
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

/// Files, folders and bytes of a tree; with `nonEmpty`, the paths of its non-empty files.
TreeStats measure(const std::string& root, std::vector<std::string>* nonEmpty = nullptr) {
    static TreeStats stats;
    static std::vector<std::string>* files;
    stats = {};
    files = nonEmpty;
    ::nftw(
        root.c_str(),
        [](const char* path, const struct stat* st, int type, FTW*) {
            if (type == FTW_F && S_ISREG(st->st_mode)) {
                ++stats.files;
                stats.bytes += st->st_size;
                if (files && st->st_size > 0)
                    files->push_back(path);
            } else if (type == FTW_D) {
                ++stats.folders;
            }
            return 0;
        },
        64, FTW_PHYS);
    if (nonEmpty)
        std::sort(nonEmpty->begin(), nonEmpty->end());
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
    // The child's own usage and that of the children it waited for (rsync's receiver):
    // ru_maxrss is the largest of them.
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
    std::printf("%.6f %d %lld\n", elapsed, view.logLines,
                static_cast<long long>(state.FilesUpdated));
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

/// A child's own run: its time, the log lines it showed and the files it wrote.
struct ChildRun {
    double seconds = 0;
    int logLines = 0;
    long long updated = -1; ///< the engine's count of written files; -1 when not known
    long peakKiB = 0;
};

ChildRun runChild(const std::vector<std::string>& args, bool offscreen) {
    ChildRun run;
    std::string output;
    runTimed(args, {&run.peakKiB, &output, offscreen});
    if (std::sscanf(output.c_str(), "%lf %d %lld", &run.seconds, &run.logLines, &run.updated) < 2) {
        std::fprintf(stderr, "%s %s: no result\n", args[0].c_str(), args[1].c_str());
        std::exit(3);
    }
    return run;
}

enum Tool { Cp, CpSync, Rsync, EngineRun, WindowRun, ToolCount };
const char* const kToolNames[ToolCount] = {"cp -a", "cp -a + sync", "rsync -a", "quillmark engine",
                                           "quillmark window"};
const char* const kTargetNames[ToolCount] = {"cp", "cp-sync", "rsync", "qm", "qm-window"};

/// The times and the peak memory of one contender over the rounds.
struct Series {
    std::vector<double> times;
    long peakKiB = 0;
    void add(const ChildRun& run) {
        times.push_back(run.seconds);
        peakKiB = std::max(peakKiB, run.peakKiB);
    }
};

double median(std::vector<double> values) {
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double minimum(const std::vector<double>& values) {
    return values.empty() ? std::nan("") : *std::min_element(values.begin(), values.end());
}

double maximum(const std::vector<double>& values) {
    return values.empty() ? std::nan("") : *std::max_element(values.begin(), values.end());
}

std::string loadAverage() {
    std::string text;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        char line[128] = {};
        if (std::fgets(line, sizeof line, f)) {
            double a = 0, b = 0, c = 0;
            if (std::sscanf(line, "%lf %lf %lf", &a, &b, &c) == 3) {
                char out[64];
                std::snprintf(out, sizeof out, "%.2f %.2f %.2f", a, b, c);
                text = out;
            }
        }
        std::fclose(f);
    }
    return text;
}

/// The kinds of file system the targets name.
enum class FsKind { Disk, Cloning, Memory };

FsKind fsKindOf(const std::string& path) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0)
        return FsKind::Disk;
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0x9123683EUL: // btrfs
    case 0x58465342UL: // XFS
        return FsKind::Cloning;
    case 0x01021994UL: // tmpfs
        return FsKind::Memory;
    default:
        return FsKind::Disk;
    }
}

/// Gives every file a new modification time, `seconds` after the epoch.
void touchFiles(const std::vector<std::string>& paths, std::time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    for (const std::string& path : paths) {
        if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            std::perror(path.c_str());
            std::exit(2);
        }
    }
}

/// Every copy of a touched file must carry its source's new time.
void checkTouchedCopies(const std::vector<std::string>& paths, const std::string& sourceRoot,
                        const std::string& targetRoot) {
    for (const std::string& path : paths) {
        struct stat source {
        }, target{};
        const std::string copy = targetRoot + path.substr(sourceRoot.size());
        if (::lstat(path.c_str(), &source) != 0 || ::lstat(copy.c_str(), &target) != 0 ||
            source.st_mtim.tv_sec != target.st_mtim.tv_sec) {
            std::fprintf(stderr, "%s was not brought up to date\n", copy.c_str());
            std::exit(4);
        }
    }
}

/// Every hundredth non-empty file of a tree.
std::vector<std::string> onePercentOf(const std::string& root) {
    std::vector<std::string> files;
    measure(root, &files);
    std::vector<std::string> picked;
    for (std::size_t i = 0; i < files.size(); i += 100)
        picked.push_back(files[i]);
    return picked;
}

struct Bench {
    std::string work;
    std::string self;
    int rounds = 3;

    /// One run of a contender from `source` into `target`, followed by a sync so that its
    /// write-back does not fall on the next one.
    ChildRun run(Tool tool, const std::string& source, const std::string& target) const {
        fs::create_directories(target);
        ChildRun result;
        switch (tool) {
        case Cp:
            result.seconds = runTimed({"cp", "-a", source + "/.", target + "/"}, {&result.peakKiB});
            break;
        case CpSync: {
            const auto start = std::chrono::steady_clock::now();
            runTimed({"cp", "-a", source + "/.", target + "/"}, {&result.peakKiB});
            syncAll();
            result.seconds = seconds(start);
            break;
        }
        case Rsync:
            result.seconds =
                runTimed({"rsync", "-a", source + "/", target + "/"}, {&result.peakKiB});
            break;
        case EngineRun:
            result = runChild({self, "--run-engine", source, target, work + "/start"}, false);
            break;
        case WindowRun:
            writeProfileFile(source, target, work + "/start-window");
            result = runChild({self, "--run-window", work + "/start-window"}, true);
            break;
        case ToolCount:
            break;
        }
        syncAll();
        return result;
    }

    /// Rounds of the 1 % touched run, rsync -a and the engine alternating; returns the
    /// engine / rsync ratio of each round.
    std::vector<double> touchedRounds(const std::string& source, const std::string& engineTarget,
                                      const std::string& rsyncTarget, Series& engine,
                                      Series& rsync) const {
        const std::vector<std::string> touched = onePercentOf(source);
        const std::time_t base = std::time(nullptr);
        std::vector<double> ratios;
        for (int round = 0; round < rounds; ++round) {
            // ten seconds apart: far more than the two-second slot of a DOS time
            touchFiles(touched, base + 10 * (round + 1));
            syncAll();
            ChildRun e, r;
            if (round % 2 == 0) {
                r = run(Rsync, source, rsyncTarget);
                e = run(EngineRun, source, engineTarget);
            } else {
                e = run(EngineRun, source, engineTarget);
                r = run(Rsync, source, rsyncTarget);
            }
            if (e.updated != static_cast<long long>(touched.size())) {
                std::fprintf(stderr, "the engine wrote %lld files of %zu touched\n", e.updated,
                             touched.size());
                std::exit(4);
            }
            checkTouchedCopies(touched, source, engineTarget);
            checkTouchedCopies(touched, source, rsyncTarget);
            engine.add(e);
            rsync.add(r);
            ratios.push_back(e.seconds / r.seconds);
        }
        return ratios;
    }
};

void printRatio(const char* name, const std::vector<double>& ratios, const char* target,
                double bound) {
    const double med = median(ratios);
    const char* met = "";
    if (*target)
        met = med <= bound ? "yes" : "no";
    std::printf("| %s | %.2f | %.2f | %.2f | %s | %s |\n", name, med, minimum(ratios),
                maximum(ratios), target, met);
}

void printTimes(const char* name, const std::vector<double>& times) {
    std::printf("  %s:", name);
    for (double t : times)
        std::printf(" %.3f", t);
    std::printf("\n");
}

double mb(long kib) {
    return kib / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--run-engine") == 0)
        return runEngine(argv[2], argv[3], argv[4]);
    if (argc == 3 && std::strcmp(argv[1], "--run-window") == 0)
        return runWindow(argc, argv);
    // for timing or profiling one window run by hand: --write-profile, then --run-window
    if (argc == 5 && std::strcmp(argv[1], "--write-profile") == 0) {
        writeProfileFile(argv[2], argv[3], argv[4]);
        return 0;
    }

    bool quick = false, longMode = false;
    long maxFiles = 0;
    std::string work, label, dataFile;
    Bench bench;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--quick")
            quick = true;
        else if (arg == "--long")
            longMode = true;
        else if (arg == "--rounds" && hasValue)
            bench.rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--max-files" && hasValue)
            maxFiles = std::atol(argv[++i]);
        else if (arg == "--label" && hasValue)
            label = argv[++i];
        else if (arg == "--data" && hasValue)
            dataFile = argv[++i];
        else if (!arg.starts_with("--"))
            work = arg;
        else
            work.clear(), i = argc; // unknown option: show the usage
    }
    if (work.empty()) {
        std::fprintf(stderr, "usage: quillmark-bench [--quick|--long] [--rounds N] [--max-files N]"
                             " [--label TEXT] [--data FILE] WORKDIR\n");
        return 1;
    }
    work = fs::absolute(work).string();
    bench.work = work;
    bench.self = fs::canonical("/proc/self/exe").string();
    if (label.empty())
        label = work;

    // ~800 MB in 20,000 files and 2,000 folders; the quick tree is a tenth of it.
    const TreeShape shape = quick ? TreeShape{10, 19, 10, 3, 67000, 8 << 20}
                                  : TreeShape{40, 49, 10, 10, 67000, 64 << 20};
    // The scaling tree grows by top folders of 1,000 small files (50 folders of 20).
    std::vector<long> sizes =
        quick ? std::vector<long>{2000, 10000, 20000} : std::vector<long>{10000, 100000, 200000};
    if (longMode)
        sizes.push_back(1000000);
    std::vector<long> skipped;
    if (maxFiles > 0) {
        for (long size : sizes)
            if (size > maxFiles)
                skipped.push_back(size);
        std::erase_if(sizes, [&](long size) { return size > maxFiles; });
    }
    const long touchedSize = quick ? 10000 : 100000;

    fs::remove_all(work);
    fs::create_directories(work + "/start");
    fs::create_directories(work + "/start-window");
    const FsKind kind = fsKindOf(work);
    // the window's children want a runtime folder of their own, as a session has
    fs::create_directories(work + "/runtime");
    fs::permissions(work + "/runtime", fs::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", (work + "/runtime").c_str(), 0);
    std::printf("## %s\n\nLoad average at the start: %s\n\n", label.c_str(), loadAverage().c_str());
    std::printf("Generating the tree ...\n");
    std::fflush(stdout);
    const std::string src = work + "/src";
    const TreeStats tree = generate(src, shape);
    syncAll();
    warmCache(src);

    // First backups and unchanged runs: every round runs each contender once, the order
    // turning by one each round so that no contender always follows the same one.
    Series first[ToolCount], unchanged[ToolCount];
    std::vector<double> vsCp, vsCpSync, vsRsync, windowFirst, windowUnchanged;
    for (int round = 0; round < bench.rounds; ++round) {
        std::printf("Round %d of %d ...\n", round + 1, bench.rounds);
        std::fflush(stdout);
        if (round > 0) {
            for (const char* target : kTargetNames)
                fs::remove_all(work + "/" + target);
            syncAll();
        }
        ChildRun got[2][ToolCount];
        for (int run = 0; run < 2; ++run) {
            for (int k = 0; k < ToolCount; ++k) {
                const Tool tool = static_cast<Tool>((k + round) % ToolCount);
                // cp -a has no unchanged mode: its second run copies everything again,
                // which one round shows well enough.
                if (run == 1 && round > 0 && (tool == Cp || tool == CpSync))
                    continue;
                got[run][tool] = bench.run(tool, src, work + "/" + kTargetNames[tool]);
                (run == 0 ? first : unchanged)[tool].add(got[run][tool]);
            }
            if (got[run][WindowRun].logLines != got[run][EngineRun].logLines) {
                std::fprintf(stderr, "window showed %d log lines, the engine wrote %d\n",
                             got[run][WindowRun].logLines, got[run][EngineRun].logLines);
                return 4;
            }
        }
        vsCp.push_back(got[0][EngineRun].seconds / got[0][Cp].seconds);
        vsCpSync.push_back(got[0][EngineRun].seconds / got[0][CpSync].seconds);
        vsRsync.push_back(got[1][EngineRun].seconds / got[1][Rsync].seconds);
        windowFirst.push_back(got[0][WindowRun].seconds / got[0][EngineRun].seconds);
        windowUnchanged.push_back(got[1][WindowRun].seconds / got[1][EngineRun].seconds);
    }
    for (const char* copy : {"/qm", "/qm-window"}) {
        TreeStats copied = measure(work + copy);
        if (copied.files != tree.files || copied.bytes != tree.bytes) {
            std::fprintf(stderr, "%s differs: %lld files %lld bytes\n", copy,
                         static_cast<long long>(copied.files),
                         static_cast<long long>(copied.bytes));
            return 4;
        }
    }
    std::printf("1 %% touched ...\n");
    std::fflush(stdout);
    Series touchedEngine, touchedRsync;
    const std::vector<double> vsRsyncTouched =
        bench.touchedRounds(src, work + "/qm", work + "/rsync", touchedEngine, touchedRsync);
    for (const char* target : kTargetNames)
        fs::remove_all(work + "/" + target);
    fs::remove_all(src);
    syncAll();

    // Scaling: the unchanged run against the number of files.
    struct ScaleRow {
        long files;
        double engineAdd, rsyncAdd;
        Series engine, rsync;
        std::vector<double> ratios;
    };
    std::vector<ScaleRow> scale;
    std::vector<double> vsRsyncTouchedMany;
    Series touchedManyEngine, touchedManyRsync;
    const std::string many = work + "/many";
    int tops = 0;
    for (long size : sizes) {
        std::printf("Scaling: %ld files ...\n", size);
        std::fflush(stdout);
        const int newTops = static_cast<int>(size / 1000);
        generate(many, TreeShape{newTops, 49, 20, 0, 200, 0}, tops);
        tops = newTops;
        syncAll();
        ScaleRow row{size, 0, 0, {}, {}, {}};
        // Both copies catch up with the grown tree (at the first size: a first backup).
        row.rsyncAdd = bench.run(Rsync, many, work + "/many-rsync").seconds;
        const ChildRun added = bench.run(EngineRun, many, work + "/many-qm");
        row.engineAdd = added.seconds;
        row.engine.peakKiB = added.peakKiB;
        for (int round = 0; round < bench.rounds; ++round) {
            ChildRun e, r;
            if (round % 2 == 0) {
                r = bench.run(Rsync, many, work + "/many-rsync");
                e = bench.run(EngineRun, many, work + "/many-qm");
            } else {
                e = bench.run(EngineRun, many, work + "/many-qm");
                r = bench.run(Rsync, many, work + "/many-rsync");
            }
            if (e.updated != 0) {
                std::fprintf(stderr, "unchanged run wrote %lld files\n", e.updated);
                return 4;
            }
            row.engine.add(e);
            row.rsync.add(r);
            row.ratios.push_back(e.seconds / r.seconds);
        }
        if (size == touchedSize)
            vsRsyncTouchedMany = bench.touchedRounds(many, work + "/many-qm", work + "/many-rsync",
                                                     touchedManyEngine, touchedManyRsync);
        scale.push_back(std::move(row));
    }
    fs::remove_all(many);
    fs::remove_all(work + "/many-qm");
    fs::remove_all(work + "/many-rsync");

    std::printf("\nLoad average at the end: %s\n", loadAverage().c_str());
    std::printf("\n### First full backup and unchanged run: %lld files, %lld folders, %.0f MB; "
                "median and minimum of %d rounds\n\n",
                static_cast<long long>(tree.files), static_cast<long long>(tree.folders),
                tree.bytes / 1048576.0, bench.rounds);
    std::printf("| Run | first full backup (s) | min | unchanged run (s) | min | peak memory (MB) "
                "|\n|---|---|---|---|---|---|\n");
    for (int tool = 0; tool < ToolCount; ++tool)
        std::printf("| %s | %.2f | %.2f | %.2f%s | %.2f | %.1f |\n", kToolNames[tool],
                    median(first[tool].times), minimum(first[tool].times),
                    median(unchanged[tool].times), unchanged[tool].times.size() == 1 ? "*" : "",
                    minimum(unchanged[tool].times),
                    mb(std::max(first[tool].peakKiB, unchanged[tool].peakKiB)));
    std::printf("| 1 %% touched: rsync -a | | | %.2f | %.2f | %.1f |\n", median(touchedRsync.times),
                minimum(touchedRsync.times), mb(touchedRsync.peakKiB));
    std::printf("| 1 %% touched: quillmark engine | | | %.2f | %.2f | %.1f |\n",
                median(touchedEngine.times), minimum(touchedEngine.times),
                mb(touchedEngine.peakKiB));
    std::printf("\n(* one round: cp -a has no unchanged mode, its second run copies everything "
                "again.)\n");

    std::printf(
        "\n| Ratio | median | min | max | Target | Met (median) |\n|---|---|---|---|---|---|\n");
    printRatio("engine / cp -a, first backup", vsCp, kind == FsKind::Cloning ? "<= 1.0" : "", 1.0);
    printRatio("engine / (cp -a + sync), first backup", vsCpSync,
               kind == FsKind::Disk ? "<= 1.0" : "", 1.0);
    printRatio("engine / rsync -a, unchanged run", vsRsync, "<= 0.35", 0.35);
    printRatio("engine / rsync -a, 1 % touched", vsRsyncTouched, "<= 0.4", 0.4);
    printRatio("window / engine, first backup", windowFirst, "<= 1.05", 1.05);
    printRatio("window / engine, unchanged run", windowUnchanged, "<= 1.05", 1.05);

    std::printf("\n### Unchanged run against the number of files (small files, 20 a folder); "
                "median of %d rounds\n\n",
                bench.rounds);
    std::printf("| Files | engine (s) | rsync -a (s) | engine / rsync -a, median | min | "
                "engine peak (MB) | rsync -a peak (MB) | catching up: engine / rsync -a (s) |\n"
                "|---|---|---|---|---|---|---|---|\n");
    for (const ScaleRow& row : scale)
        std::printf("| %ld | %.3f | %.3f | %.2f | %.2f | %.1f | %.1f | %.2f / %.2f |\n", row.files,
                    median(row.engine.times), median(row.rsync.times), median(row.ratios),
                    minimum(row.ratios), mb(row.engine.peakKiB), mb(row.rsync.peakKiB),
                    row.engineAdd, row.rsyncAdd);
    for (long size : skipped)
        std::printf("| %ld | skipped: more than %ld files here | | | | | | |\n", size, maxFiles);
    if (!vsRsyncTouchedMany.empty()) {
        std::printf("\n| 1 %% touched, %ld files | median | min | max | Target | Met (median) "
                    "|\n|---|---|---|---|---|---|\n",
                    touchedSize);
        printRatio("engine / rsync -a", vsRsyncTouchedMany, "<= 0.4", 0.4);
        std::printf("\nEngine %.3f s, rsync -a %.3f s (medians); peak memory %.1f / %.1f MB.\n",
                    median(touchedManyEngine.times), median(touchedManyRsync.times),
                    mb(touchedManyEngine.peakKiB), mb(touchedManyRsync.peakKiB));
    }
    for (const ScaleRow& row : scale) {
        const double bound = row.files == 200000 ? 30 : row.files == 1000000 ? 60 : 0;
        if (bound > 0)
            std::printf("\nEngine peak memory at %ld files: %.1f MB (target below %.0f MB: %s).\n",
                        row.files, mb(row.engine.peakKiB), bound,
                        mb(row.engine.peakKiB) < bound ? "met" : "not met");
    }

    std::printf("\nEvery round (s):\n");
    for (int tool = 0; tool < ToolCount; ++tool) {
        printTimes((std::string(kToolNames[tool]) + ", first backup").c_str(), first[tool].times);
        printTimes((std::string(kToolNames[tool]) + ", unchanged").c_str(), unchanged[tool].times);
    }
    printTimes("rsync -a, 1 % touched", touchedRsync.times);
    printTimes("quillmark engine, 1 % touched", touchedEngine.times);
    for (const ScaleRow& row : scale) {
        printTimes(("quillmark engine, unchanged, " + std::to_string(row.files)).c_str(),
                   row.engine.times);
        printTimes(("rsync -a, unchanged, " + std::to_string(row.files)).c_str(), row.rsync.times);
    }
    std::printf("\n");

    if (!dataFile.empty()) {
        FILE* data = std::fopen(dataFile.c_str(), "w");
        if (!data) {
            std::perror(dataFile.c_str());
            return 2;
        }
        std::fprintf(data, "# files engine_median rsync_median engine_min rsync_min\n");
        for (const ScaleRow& row : scale)
            std::fprintf(data, "%ld %.4f %.4f %.4f %.4f\n", row.files, median(row.engine.times),
                         median(row.rsync.times), minimum(row.engine.times),
                         minimum(row.rsync.times));
        std::fclose(data);
    }
    fs::remove_all(work);
    return 0;
}
