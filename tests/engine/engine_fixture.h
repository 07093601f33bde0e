#pragma once

#include "clock.h"
#include "engine.h"
#include "format_settings.h"
#include "profile_table.h"
#include "run_view.h"
#include "temp_folder.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qm::test {

/// The window as the engine sees it, recording everything and answering by script.
class RecordingView : public RunView {
public:
    explicit RecordingView(RunState& state) : state_(state) {}

    void setStatus(const std::string& text) override { statuses.push_back(text); }
    void appendLog(const std::string& line) override { log.push_back(line); }
    void clearLog() override {
        log.clear();
        ++logClears;
    }
    void setProgress(int position) override { progress.push_back(position); }
    int askYesNo(const std::string& message) override {
        questions.push_back(message);
        if (answers.empty())
            return 7;
        int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void showError(const std::string& message) override { errorBoxes.push_back(message); }
    void showWarning(const std::string& message) override { warningBoxes.push_back(message); }
    void showTopLevelError(const std::string& message) override {
        topLevelErrors.push_back(message);
    }
    void pumpEvents() override { ++pumps; }
    void repaintTable() override { ++repaints; }
    void setRunControlsEnabled(bool enabled) override {
        controlsEnabled.push_back(enabled);
        if (onControls)
            onControls(enabled);
    }
    void makeCurrentRow(int row) override {
        if (row != currentRow) {
            currentRow = row;
            state_.SelectedRow = row;
        }
    }
    void selectCell(int column, int row) override {
        selectedCells.push_back({column, row});
        state_.SelectedRow = row;
    }

    /// Log lines that start with `prefix`.
    std::vector<std::string> logLinesStartingWith(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const auto& line : log)
            if (line.starts_with(prefix))
                lines.push_back(line);
        return lines;
    }

    std::vector<std::string> statuses;
    std::vector<std::string> log;
    std::vector<int> progress;
    std::vector<std::string> questions;
    std::deque<int> answers; ///< 6 Yes, 7 No; No when empty
    std::vector<std::string> errorBoxes;
    std::vector<std::string> warningBoxes;
    std::vector<std::string> topLevelErrors;
    std::vector<bool> controlsEnabled;
    std::vector<std::pair<int, int>> selectedCells;
    std::function<void(bool)> onControls;
    int logClears = 0;
    int pumps = 0;
    int repaints = 0;
    int currentRow = 1;

private:
    RunState& state_;
};

/// A clock that reads out a script, then keeps stepping from its last value.
class FakeClock : public Clock {
public:
    double now() const override {
        if (!script.empty()) {
            time = script.front();
            script.pop_front();
            return time;
        }
        double value = time;
        time += step;
        return value;
    }
    mutable std::deque<double> script;
    mutable double time = 46363.5; // 7 December 2026, noon
    double step = 0.0;
};

/// A fresh temporary folder with the engine and everything it talks to.
class EngineTest : public TempFolderTest {
protected:
    EngineTest() : TempFolderTest("engine") {}
    void SetUp() override;
    void TearDown() override;

    void makeFolder(const std::string& relative) const;
    /// Sets a file's (or link's) modification time without following links.
    void setTime(const std::string& relative, std::time_t seconds, long nanoseconds = 0) const;
    bool exists(const std::string& relative) const;
    /// Names in a folder that look like the engine's temporaries.
    std::vector<std::string> tempsIn(const std::string& relative) const;

    /// Fills row `row` of the profile table.
    void setProfile(int row, const std::string& type, const std::string& name,
                    const std::string& source, const std::string& target,
                    const std::string& options = "NPAODN");
    /// Sets the roots and row for a direct transfer pass.
    void preparePass(const std::string& source, const std::string& target, int row = 1);

    std::string startFolder;
    ProfileTable table;
    RunState state;
    FormatSettings format;
    FakeClock clock;
    RecordingView view{state};
    Engine engine{table, view, state, format, clock};
};

} // namespace qm::test
