// Times a first full backup and an unchanged second run: cp -a, rsync -a and the engine.
//
//   quillmark-bench [--quick] WORKDIR
//
// The engine runs in a child process (this program with --run-engine) so that its peak
// memory is its own.

#include "clock.h"
#include "engine.h"
#include "format_settings.h"
#include "profile_table.h"
#include "run_view.h"

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
    void appendLog(const std::string& line) override { lastLog = line; }
    void clearLog() override {}
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

/// Runs a command; returns its wall time and fills its peak memory in KiB.
double runTimed(const std::vector<std::string>& args, long* peakKiB = nullptr) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        std::perror(argv[0]);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    double elapsed = seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
        std::exit(3);
    }
    if (peakKiB)
        *peakKiB = usage.ru_maxrss;
    return elapsed;
}

/// Reads every source byte once so that no tool pays for a cold cache.
void warmCache(const std::string& root) {
    runTimed({"sh", "-c", "find '" + root + "' -type f -exec cat {} + > /dev/null"});
}

void syncAll() {
    ::sync();
}

/// Child side: one profile run of the engine, as "Run Selected Profile" does it.
int runEngine(const std::string& source, const std::string& target, const std::string& start) {
    qm::ProfileTable table;
    table.writeHeader();
    table.setRowCount(2);
    table.setCell(qm::ColType, 1, "BackUP");
    table.setCell(qm::ColName, 1, "Bench");
    table.setCell(qm::ColSource, 1, source);
    table.setCell(qm::ColTarget, 1, target);
    table.setCell(qm::ColOptions, 1, "NPAODN");
    qm::RunState state;
    state.StartFolder = start;
    state.SelectedRow = 1;
    QuietView view;
    qm::FormatSettings format;
    qm::SystemClock clock;
    qm::Engine engine(table, view, state, format, clock);
    engine.runProfile();
    if (!view.errors.empty() || table.cell(qm::ColStatus, 1) != "Done") {
        std::fprintf(stderr, "engine run failed: %s\n", view.errors.c_str());
        return 1;
    }
    return 0;
}

struct Row {
    std::string name;
    double first = 0, second = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--run-engine") == 0)
        return runEngine(argv[2], argv[3], argv[4]);

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

    std::vector<Row> rows = {{"cp -a"}, {"cp -a + sync"}, {"rsync -a"}, {"quillmark engine"}};
    long enginePeak = 0, peak = 0;
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
        fs::create_directories(work + "/qm");
        pick(rows[3]) =
            runTimed({self, "--run-engine", work + "/src", work + "/qm", work + "/start"}, &peak);
        enginePeak = std::max(enginePeak, peak);
        syncAll();
    }
    TreeStats copied = measure(work + "/qm");
    if (copied.files != src.files || copied.bytes != src.bytes) {
        std::fprintf(stderr, "engine copy differs: %lld files %lld bytes\n",
                     static_cast<long long>(copied.files), static_cast<long long>(copied.bytes));
        return 4;
    }

    // Peak memory over a tree of many small files.
    std::printf("Generating the many-files tree ...\n");
    TreeStats small = generate(work + "/many", many);
    fs::create_directories(work + "/many-qm");
    long manyPeak = 0;
    double manyTime = runTimed(
        {self, "--run-engine", work + "/many", work + "/many-qm", work + "/start"}, &manyPeak);

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
    std::printf("| engine peak memory, %lld files (MB) | %.1f | |\n",
                static_cast<long long>(src.files), enginePeak / 1024.0);
    std::printf("| engine peak memory, %lld files (MB), first backup %.2f s | %.1f | < 100 |\n",
                static_cast<long long>(small.files), manyTime, manyPeak / 1024.0);
    return 0;
}
