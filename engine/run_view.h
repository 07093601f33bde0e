#pragma once

#include <string>

namespace qm {

/// What the engine needs of the window: the list page's status line, run log and progress
/// bar, the grid, the dialogs and the event pump. The window implements it; tests and the
/// benchmark use headless doubles.
class RunView {
public:
    virtual ~RunView() = default;

    /// Replaces the status line's text.
    virtual void setStatus(const std::string& text) = 0;
    /// Appends one line to the run log.
    virtual void appendLog(const std::string& line) = 0;
    virtual void clearLog() = 0;
    /// Progress bar position, 0..100 (larger values are clamped by the view).
    virtual void setProgress(int position) = 0;

    /// Confirmation dialog with Yes and No; returns 6 for Yes, 7 for No, 2 when closed.
    virtual int askYesNo(const std::string& message) = 0;
    /// Error dialog with one OK button.
    virtual void showError(const std::string& message) = 0;
    /// Warning dialog with one OK button (files of a run that could not be written).
    virtual void showWarning(const std::string& message) = 0;
    /// The top-level error message box (title "Quillmark", stop icon, OK); `message` is the
    /// error's own text, the view applies the full-stop rule.
    virtual void showTopLevelError(const std::string& message) = 0;

    /// Runs pending window events and returns at once when there are none.
    virtual void pumpEvents() = 0;
    /// True once the user asked to stop the run; the engine ends it at the next file or
    /// block, through its error path.
    virtual bool stopRequested() { return false; }
    /// Repaints the profile grid at once.
    virtual void repaintTable() = 0;

    /// Enables or disables, in this order: Run Selected, Run All, Edit, New, Delete, close.
    virtual void setRunControlsEnabled(bool enabled) = 0;
    /// Makes `row` the grid's current row; when it was not current the selection handler
    /// runs and sets SelectedRow.
    virtual void makeCurrentRow(int row) = 0;
    /// Calls the selection handler directly for (column, row): details and SelectedRow.
    virtual void selectCell(int column, int row) = 0;
};

} // namespace qm
