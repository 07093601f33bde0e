// qm-run-child START_FOLDER [ROW]: runs one profile of START_FOLDER/quillmark.txt headless, as
// "Run Selected Profile" would, and prints the run log and every box on stdout. The
// reliability harnesses start it, kill it, and starve it of disk space.
#include "clock.h"
#include "engine.h"
#include "format_settings.h"
#include "headless_view.h"
#include "profile_file.h"
#include "profile_table.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <unistd.h>

using namespace qm;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s START_FOLDER [ROW]\n", argv[0]);
        return 2;
    }
    const std::string start = argv[1];
    const int row = argc > 2 ? std::atoi(argv[2]) : 1;
    if (::chdir(start.c_str()) != 0) {
        std::perror("chdir");
        return 2;
    }
    // Unbuffered, so that a killed child leaves every line it got to.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    try {
        ProfileTable table;
        LoadProfiles(table, start);
        RunState state;
        state.StartFolder = start;
        state.SelectedRow = row;
        test::HeadlessView view(state);
        view.onLog = [](const std::string& line) { std::printf("LOG %s\n", line.c_str()); };
        FormatSettings format;
        SystemClock clock;
        Engine engine(table, view, state, format, clock);
        engine.runProfile();
        for (const auto& box : view.errorBoxes)
            std::printf("ERRORBOX %s\n", box.c_str());
        for (const auto& box : view.topLevelErrors)
            std::printf("TOPLEVEL %s\n", box.c_str());
        std::printf("STATUS %s\n", table.cell(ColStatus, row).c_str());
        return view.topLevelErrors.empty() ? 0 : 1;
    } catch (const std::exception& error) {
        // runProfile never throws; the load may.
        std::printf("TOPLEVEL %s\n", error.what());
        return 1;
    }
}
