#pragma once

#include "clock.h"
#include "engine.h"
#include "format_settings.h"
#include "run_state.h"
#include "run_view.h"
#include "shell_services.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStatusBar;

namespace qm {

class ClickLabel;
class ProfileGrid;
class ProfileTable;
class SvgPicture;

/// The main window `Form1`: a borderless panel with the welcome, profile list and profile
/// editor pages. Pages are switched by moving their controls in and out of view.
class TForm1 : public QWidget, public RunView {
    Q_OBJECT
public:
    /// Client area inside the 1-pixel border.
    static constexpr int ClientWidth = 411;
    static constexpr int ClientHeight = 589;
    /// Left of every control of a hidden page: past the client area's right edge.
    static constexpr int HiddenLeft = 500;

    explicit TForm1(ShellServices& shell, QWidget* parent = nullptr);
    ~TForm1() override;

    ProfileTable& table() { return *table_; }
    RunState& state() { return state_; }
    Engine& engine() { return engine_; }
    /// The client area: the parent of every control.
    QWidget* client() const { return client_; }

    /// Edit flag: the Tag of "Edit Profile"; 1 while the editor edits row SelectedRow.
    int editFlag = 0;

    // Handlers of the window and its pages.
    void FormCreate();
    void FormShow();
    void Button3Click();
    void BitBtn2Click();
    void Button17Click();
    void Image11Click();
    void Label22Click();
    void ShowWelcomePage();
    void HideWelcomePage();
    void ShowProfileListPage();
    void HideProfileListPage();
    void ShowProfileEditorPage();
    void HideProfileEditorPage();

    // Profile list page.
    void StringGrid1SelectCell(int column, int row);
    void StringGrid1DblClick();
    void Button7Click();
    void Button16Click();
    void Button1Click();
    void Button8Click();

    // Profile editor page.
    void Button6Click();
    void Button5Click();
    void Button15Click();
    void Button4Click();
    void Edit4Change();
    void RadioButton1Click();
    void RadioButton2Click();
    void Button18Click();
    void Button2Click();
    void automydocsClick();
    void autodesktopClick();
    void autoemailClick();
    std::string GetDocumentsFolder();
    std::string GetDesktopFolder();

    /// Text of a line edit as bytes: the bytes it was given, unless the user changed it.
    static std::string editBytes(const QLineEdit* edit);
    static void setEditBytes(QLineEdit* edit, const std::string& bytes);

    // RunView
    void setStatus(const std::string& text) override;
    void appendLog(const std::string& line) override;
    void clearLog() override;
    void setProgress(int position) override;
    int askYesNo(const std::string& message) override;
    void showError(const std::string& message) override;
    void showWarning(const std::string& message) override;
    void showTopLevelError(const std::string& message) override;
    void pumpEvents() override;
    bool stopRequested() override { return stopRequested_; }
    void repaintTable() override;
    void setRunControlsEnabled(bool enabled) override;
    void makeCurrentRow(int row) override;
    void selectCell(int column, int row) override;

    // Controls that stay in place.
    SvgPicture* Image3;
    SvgPicture* Image11;
    ClickLabel* Label22;
    // Welcome page.
    QLabel* Label27;
    SvgPicture* Image9;
    QLabel* Label23;
    QLabel* Label9;
    QPushButton* BitBtn2;
    // Profile list page.
    QLabel* Label25;
    ProfileGrid* StringGrid1;
    QPushButton* Button6;
    QPushButton* Button5;
    QPushButton* Button7;
    QLabel* Label20;
    QLabel* Label21;
    QLabel* Label7;
    QLabel* Label8;
    QLabel* Label3;
    QPlainTextEdit* Memo1;
    QProgressBar* ProgressBar1;
    QStatusBar* StatusBar1;
    QPushButton* Button16;
    QPushButton* Button1;
    // Profile editor page.
    QLabel* Label26;
    QLabel* Label5;
    QLineEdit* Edit4;
    SvgPicture* Image7;
    QRadioButton* RadioButton1;
    QRadioButton* RadioButton2;
    QLabel* Label1;
    QLineEdit* Edit1;
    QPushButton* Button18;
    QPushButton* automydocs;
    QPushButton* autodesktop;
    QPushButton* autoemail;
    QLabel* Label2;
    QLineEdit* Edit2;
    QPushButton* Button2;
    QLabel* Label4;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox5;
    QPushButton* Button4;
    QPushButton* Button15;
    // Never shown: actions that other code calls.
    QPushButton* Button3;
    QPushButton* Button17;
    QPushButton* Button8;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    /// A close from the window manager: asks first during a run.
    void closeEvent(QCloseEvent* event) override;
    // A drag on the artwork or an empty place moves the window.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Place {
        QWidget* control;
        int left;
        int top;
        Qt::FocusPolicy shownFocus; ///< Qt::NoFocus: not a focus stop
    };

    /// The handler as a slot that shows an error it lets through in the top-level box.
    std::function<void()> guarded(void (TForm1::*handler)());
    void createControls();
    void connectHandlers();
    void showPage(const std::vector<Place>& page);
    void hidePage(const std::vector<Place>& page);
    void settleFocus();
    void showDetails(int row);
    /// The run log's context menu: the standard entries and "Save Log...".
    void showLogMenu(const QPoint& at);
    /// Writes the run log to a file the user chooses.
    void saveLog();
    /// Tells a user who is looking elsewhere that the run has ended.
    void announceRunEnd(const std::string& text);
    /// The status of each profile that ran, for the announcement.
    std::string runOutcome(int firstRow, int lastRow) const;
    void browse(QLineEdit* edit, const char* accessError);
    void holdRunDisplay();
    void releaseRunDisplay();
    /// The run log, status line and progress bar.
    std::array<QWidget*, 3> runDisplay() const;
    /// Shows the run's waiting status text and log lines.
    void flushRunDisplay();

    ShellServices& shell_;
    ProfileTable* table_;
    RunState state_;
    FormatSettings format_;
    SystemClock clock_;
    Engine engine_;
    QWidget* client_;
    bool shown_ = false;
    /// Set when the user chose to stop the run and quit.
    bool stopRequested_ = false;
    /// Where the window was grabbed, when the window manager cannot move it itself.
    std::optional<QPoint> dragOffset_;

    std::vector<Place> welcomePage_;
    std::vector<Place> listPage_;
    std::vector<Place> editorPage_;

    // The run log, status line and progress bar repaint at most ~30 times a second during a
    // run.
    QElapsedTimer paintClock_;
    QElapsedTimer pumpClock_;
    QTimer paintFlush_;
    bool paintHeld_ = false;
    /// During a run, the status text and log lines wait here for the next repaint.
    bool running_ = false;
    std::optional<std::string> pendingStatus_;
    QStringList pendingLog_;
};

} // namespace qm
