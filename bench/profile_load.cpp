// Loads a damaged profile file of empty lines before one profile, saves it (each empty line becomes
// seven delimiters) and loads the saved file again, printing the time and peak memory of each step.
//   quillmark-profile-load [FOLDER] [MEGABYTES]   (defaults: a temporary folder, 10)

#include "profile_file.h"
#include "profile_table.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

template <typename Step> void timed(const char* what, const std::string& file, Step step) {
    const auto start = std::chrono::steady_clock::now();
    step();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%-28s %8.1f MB file %7.2f s  peak RSS %7.1f MB\n", what,
                static_cast<double>(std::filesystem::file_size(file)) / 1e6, took.count(),
                peakMegabytes());
}

} // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    const bool ownFolder = argc < 2;
    const std::string folder =
        ownFolder
            ? (fs::temp_directory_path() / ("qm-profile-load-" + std::to_string(getpid()))).string()
            : argv[1];
    const long megabytes = argc > 2 ? std::atol(argv[2]) : 10;
    fs::create_directories(folder);
    const std::string file = qm::profileFilePath(folder);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        const std::string block(1 << 20, '\n');
        for (long i = 0; i < megabytes; ++i)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        // The profile after them makes every empty line a row of its own.
        out << "BackUP->Daily->/home/u/Work->/media/Store->NEVER->Pending->NPAODF->\r\n";
    }
    // The first load and the save run in a child, so that the peak memory printed for the
    // last load is its own.
    std::fflush(stdout);
    if (const pid_t child = fork(); child == 0) {
        qm::ProfileTable table;
        timed("load empty lines", file, [&] { qm::LoadProfiles(table, folder); });
        timed("save", file, [&] { qm::SaveProfiles(table, folder); });
        std::fflush(stdout);
        _exit(0);
    } else {
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
    }
    qm::ProfileTable table;
    timed("load the saved file", file, [&] { qm::LoadProfiles(table, folder); });
    std::printf("rows %d\n", table.RowCount() - 1);
    if (ownFolder)
        fs::remove_all(folder);
    return 0;
}
