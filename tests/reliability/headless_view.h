#pragma once

#include "run_state.h"
#include "run_view.h"

#include <functional>
#include <string>
#include <vector>

namespace qm::test {

/// A window without a screen: answers every question "No", closes every box with OK and
/// keeps what the engine showed. `onPump` lets a test change the world mid-run.
class HeadlessView : public RunView {
public:
    explicit HeadlessView(RunState& state) : state_(state) {}

    void setStatus(const std::string& text) override { status = text; }
    void appendLog(const std::string& line) override {
        log.push_back(line);
        if (onLog)
            onLog(line);
    }
    void clearLog() override { log.clear(); }
    void setProgress(int position) override { progress = position; }
    int askYesNo(const std::string& message) override {
        questions.push_back(message);
        return 7;
    }
    void showError(const std::string& message) override { errorBoxes.push_back(message); }
    void showWarning(const std::string& message) override { warningBoxes.push_back(message); }
    void showTopLevelError(const std::string& message) override {
        topLevelErrors.push_back(message);
    }
    void pumpEvents() override {
        ++pumps;
        if (onPump)
            onPump();
    }
    void repaintTable() override {}
    void setRunControlsEnabled(bool enabled) override { controlsEnabled = enabled; }
    void makeCurrentRow(int row) override {
        if (row != currentRow) {
            currentRow = row;
            state_.SelectedRow = row;
        }
    }
    void selectCell(int, int row) override { state_.SelectedRow = row; }

    /// The whole run log as one text, a line each.
    std::string logText() const {
        std::string text;
        for (const std::string& line : log)
            text += line + "\n";
        return text;
    }

    std::string status;
    std::vector<std::string> log;
    std::vector<std::string> questions;
    std::vector<std::string> errorBoxes;
    std::vector<std::string> warningBoxes;
    std::vector<std::string> topLevelErrors;
    std::function<void()> onPump;
    std::function<void(const std::string&)> onLog;
    int progress = 0;
    int pumps = 0;
    int currentRow = 1;
    bool controlsEnabled = true;

private:
    RunState& state_;
};

} // namespace qm::test
