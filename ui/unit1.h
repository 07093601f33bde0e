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
/// Where a window of `size` opens: centred in `available`, but never with its top or left
/// off the screen (at a large scale the window may be taller than the screen).
QPoint placedOnScreen(const QRect& available, const QSize& size);

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

    // Handlers of the window and its pages. The names are the window's own; the comment
    // says what the user sees.
    void FormCreate();    ///< start: a fixed size, centred, on the welcome page
    void FormShow();      ///< first show: loads the profiles into the list
    void Button3Click();  ///< leaves the welcome page: the list, or the editor when empty
    void BitBtn2Click();  ///< "Click to Continue >"
    void Button17Click(); ///< close: back to the welcome page, or quit from there
    void Image11Click();  ///< the close icon (and Esc)
    void Label22Click();  ///< the terms-of-use link: opens the document
    void ShowWelcomePage();
    void HideWelcomePage();
    void ShowProfileListPage();
    void HideProfileListPage();
    void ShowProfileEditorPage();
    void HideProfileEditorPage();

    // Profile list page.
    void StringGrid1SelectCell(int column, int row); ///< a row chosen: its details below
    void StringGrid1DblClick();                      ///< a double click edits the row
    void Button7Click();                             ///< "Delete Profile", after a yes
    void Button16Click();                            ///< "Run Selected Profile"
    void Button1Click();                             ///< "Run All Profiles"
    void Button8Click(); ///< the copy pass of the current row (called by the runs)

    // Profile editor page.
    void Button6Click();      ///< "New Profile": an empty editor
    void Button5Click();      ///< "Edit Profile": the editor filled from the chosen row
    void Button15Click();     ///< "Save Profile": checks the fields, saves the file
    void Button4Click();      ///< "Cancel": back to the list (or welcome), unsaved
    void Edit4Change();       ///< "Save Profile" is enabled from two letters of name
    void RadioButton1Click(); ///< backup mode: the date-stamped folder option may be set
    void RadioButton2Click(); ///< synchronisation mode: that option is cleared and disabled
    void Button18Click();     ///< "Browse" beside the source
    void Button2Click();      ///< "Browse" beside the target
    void automydocsClick();   ///< "Auto Locate [My Documents]" as the source
    void autodesktopClick();  ///< "Auto Locate [Desktop]" as the source
    void autoemailClick();    ///< "Auto Locate [User Folder]" as the source
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
    SvgPicture* Image3;  ///< the background artwork
    SvgPicture* Image11; ///< the close icon, top right
    ClickLabel* Label22; ///< "By using this application you accept the terms of use"
    // Welcome page.
    QLabel* Label27;      ///< "This FREEWARE utility will assist ..."
    SvgPicture* Image9;   ///< the welcome picture
    QLabel* Label23;      ///< "IMPORTANT NOTICE! ...", in red
    QLabel* Label9;       ///< what the program does, in one sentence
    QPushButton* BitBtn2; ///< "Click to Continue >"
    // Profile list page.
    QLabel* Label25;          ///< "Select the backup / synchronize profile ..."
    ProfileGrid* StringGrid1; ///< the profiles, one row each, with their last run
    QPushButton* Button6;     ///< "New Profile"
    QPushButton* Button5;     ///< "Edit Profile"
    QPushButton* Button7;     ///< "Delete Profile"
    QLabel* Label20;          ///< "Profile : " and the chosen row's name
    QLabel* Label21;          ///< "Mode : "
    QLabel* Label7;           ///< "Source/Location  : "
    QLabel* Label8;           ///< "Target/Destination : "
    QLabel* Label3;           ///< "Last Run Date & Status : "
    QPlainTextEdit* Memo1;    ///< the run log
    QProgressBar* ProgressBar1;
    QStatusBar* StatusBar1; ///< the run's status line
    QPushButton* Button16;  ///< "Run Selected Profile"
    QPushButton* Button1;   ///< "Run All Profiles"
    // Profile editor page.
    QLabel* Label26;            ///< the page's title: a new profile, or the one edited
    QLabel* Label5;             ///< "Profile Name"
    QLineEdit* Edit4;           ///< the profile's name
    SvgPicture* Image7;         ///< the editor's picture
    QRadioButton* RadioButton1; ///< "Backup mode only (From Source to Target )"
    QRadioButton* RadioButton2; ///< "Synchronization mode  (Between Source and Target)"
    QLabel* Label1;             ///< "Source/Location"
    QLineEdit* Edit1;           ///< the source folder, filled by the buttons below it
    QPushButton* Button18;      ///< "Browse" for the source
    QPushButton* automydocs;    ///< "Auto Locate [My Documents]"
    QPushButton* autodesktop;   ///< "Auto Locate [Desktop]"
    QPushButton* autoemail;     ///< "Auto Locate [User Folder]"
    QLabel* Label2;             ///< "Target/Destination"
    QLineEdit* Edit2;           ///< the target folder
    QPushButton* Button2;       ///< "Browse" for the target
    QLabel* Label4;             ///< "Options"
    QCheckBox* CheckBox3;       ///< "Always Prompt me for action on file Overwrites"
    QCheckBox* CheckBox5;       ///< "Create Datestamped Folder inside Target/Destination ..."
    QPushButton* Button4;       ///< "Cancel"
    QPushButton* Button15;      ///< "Save Profile"
    // Never shown: actions that other code calls.
    QPushButton* Button3;  ///< leaves the welcome page
    QPushButton* Button17; ///< the close action
    QPushButton* Button8;  ///< the copy pass

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    /// A close from the window manager: asks first during a run.
    void closeEvent(QCloseEvent* event) override;
    // A drag on the artwork or an empty place moves the window.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    /// Return and Enter press the focused button, as Space does.
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Place {
        QWidget* control;
        int left;
        int top;
        Qt::FocusPolicy shownFocus; ///< Qt::NoFocus: not a focus stop
    };

    /// The handler as a slot that shows an error it lets through in the top-level box.
    std::function<void()> guarded(void (TForm1::*handler)());
    /// Makes every control and its page place (in unit1_layout.cpp).
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
