#include "engine.h"

#include "block_file.h"
#include "clock.h"
#include "format_settings.h"
#include "process_setup.h"
#include "run_view.h"
#include "shell.h"
#include "temp_journal.h"

#include <algorithm>

namespace qm {

namespace {

constexpr std::size_t ComputerNameLength = 30; // a 31-byte buffer with its NUL
// A batch is written out when it reaches this many files (or its bytes, file_update.cpp).
constexpr std::size_t BatchFiles = 1000;
// Descriptors kept for the folders a pass holds open, listings and the profile file.
constexpr int ReservedDescriptors = 512;

/// Sets the process up for runs; then the copies a batch may hold open, within the
/// descriptors it may have.
std::size_t preparedBatchFiles() {
    prepareProcessForRuns();
    const int spare = openDescriptorLimit() - ReservedDescriptors;
    return std::clamp<std::size_t>(spare > 0 ? static_cast<std::size_t>(spare) / 2 : 0, 16,
                                   BatchFiles);
}

} // namespace

Engine::Engine(ProfileTable& table, RunView& view, RunState& state, const FormatSettings& format,
               const Clock& clock)
    : table_(table), view_(view), state_(state), format_(format), clock_(clock),
      batch_(*this, preparedBatchFiles()) {}

Engine::~Engine() = default;

void Engine::pump() {
    view_.pumpEvents();
    if (view_.stopRequested()) {
        view_.appendLog("STOPPED -> the run was stopped by the user");
        throw RunStopped();
    }
}

std::string Engine::GetComputerNameText() const {
    std::string name = computerName();
    name = name.substr(0, std::min(name.find('\0'), ComputerNameLength));
    return name;
}

std::string Engine::DateStampText() const {
    std::string text = dateText(clock_.today(), format_);
    std::erase(text, '/');
    return text;
}

std::string Engine::datestampFolderName() const {
    std::string name = GetComputerNameText() + DateStampText();
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    // never the target itself or the folder above it
    if (name.empty() || name == "." || name == "..")
        name = std::string(std::max<std::size_t>(name.size(), 1), '_');
    return name;
}

} // namespace qm
