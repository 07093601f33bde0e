#include "engine.h"

#include "clock.h"
#include "format_settings.h"
#include "run_view.h"
#include "shell.h"

#include <algorithm>

namespace qm {

namespace {

constexpr std::size_t ComputerNameLength = 30; // a 31-byte buffer with its NUL

} // namespace

Engine::Engine(ProfileTable& table, RunView& view, RunState& state, const FormatSettings& format,
               const Clock& clock)
    : table_(table), view_(view), state_(state), format_(format), clock_(clock) {}

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

} // namespace qm
