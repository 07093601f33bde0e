#include "unit1.h"

#include "controls.h"
#include "folders.h"
#include "io_error.h"
#include "pending_io.h"
#include "profile_file.h"
#include "profile_table.h"
#include "text_file.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QWindow>
#include <algorithm>
#include <exception>

namespace qm {

namespace {

constexpr int kRepaintIntervalMs = 33;
constexpr qint64 kPumpIntervalNs = 1000000;

QString shown(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

bool unsafeInProfileFile(const std::string& text) {
    return text.find("->") != std::string::npos || text.find('\r') != std::string::npos ||
           text.find('\n') != std::string::npos || text.find('\x1a') != std::string::npos;
}

} // namespace

TForm1::TForm1(ShellServices& shell, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), shell_(shell),
      table_(new ProfileTable(this)), format_(FormatSettings::fromSystem()),
      engine_(*table_, *this, state_, format_, clock_), client_(new QWidget(this)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Quillmark"));
    setWindowIcon(QIcon(QStringLiteral(":/quillmark/quillmark.svg")));
    setAutoFillBackground(true);
    client_->setObjectName(QStringLiteral("client"));
    client_->setGeometry(1, 1, ClientWidth, ClientHeight);

    paintFlush_.setSingleShot(true);
    paintFlush_.setInterval(kRepaintIntervalMs);
    connect(&paintFlush_, &QTimer::timeout, this, [this] { releaseRunDisplay(); });

    createControls();
    connectHandlers();
    FormCreate();
}

TForm1::~TForm1() = default;

std::function<void()> TForm1::guarded(void (TForm1::*handler)()) {
    // An error ends the handler here, before it could unwind through Qt's own frames; the
    // application's notify() remains the net for anything else.
    return [this, handler] {
        try {
            (this->*handler)();
        } catch (const std::exception& error) {
            showTopLevelError(errorText(error));
        }
    };
}

void TForm1::connectHandlers() {
    connect(Image11, &SvgPicture::clicked, this, guarded(&TForm1::Image11Click));
    // Esc acts as the close icon.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, guarded(&TForm1::Image11Click));
    connect(Memo1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { showLogMenu(at); });
    connect(Label22, &ClickLabel::clicked, this, guarded(&TForm1::Label22Click));
    connect(BitBtn2, &QPushButton::clicked, this, guarded(&TForm1::BitBtn2Click));
    connect(Button3, &QPushButton::clicked, this, guarded(&TForm1::Button3Click));
    connect(Button17, &QPushButton::clicked, this, guarded(&TForm1::Button17Click));
    connect(Button8, &QPushButton::clicked, this, guarded(&TForm1::Button8Click));

    connect(StringGrid1->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid())
                    StringGrid1SelectCell(current.column(), current.row() + 1);
            });
    connect(StringGrid1, &ProfileGrid::gridDoubleClicked, this,
            guarded(&TForm1::StringGrid1DblClick));
    connect(Button6, &QPushButton::clicked, this, guarded(&TForm1::Button6Click));
    connect(Button5, &QPushButton::clicked, this, guarded(&TForm1::Button5Click));
    connect(Button7, &QPushButton::clicked, this, guarded(&TForm1::Button7Click));
    connect(Button16, &QPushButton::clicked, this, guarded(&TForm1::Button16Click));
    connect(Button1, &QPushButton::clicked, this, guarded(&TForm1::Button1Click));

    connect(Edit4, &QLineEdit::textChanged, this, guarded(&TForm1::Edit4Change));
    connect(RadioButton1, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked)
            RadioButton1Click();
    });
    connect(RadioButton2, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked)
            RadioButton2Click();
    });
    connect(Button18, &QPushButton::clicked, this, guarded(&TForm1::Button18Click));
    connect(Button2, &QPushButton::clicked, this, guarded(&TForm1::Button2Click));
    connect(automydocs, &QPushButton::clicked, this, guarded(&TForm1::automydocsClick));
    connect(autodesktop, &QPushButton::clicked, this, guarded(&TForm1::autodesktopClick));
    connect(autoemail, &QPushButton::clicked, this, guarded(&TForm1::autoemailClick));
    connect(Button4, &QPushButton::clicked, this, guarded(&TForm1::Button4Click));
    connect(Button15, &QPushButton::clicked, this, guarded(&TForm1::Button15Click));

    // A save after a load that did not read the whole profile file kept that file first.
    connect(table_, &ProfileTable::unloadedFileKept, this, [this](const std::string& kept) {
        releaseRunDisplay();
        shell_.messageDialog(
            "The profile file was not read whole when the program started, so it has been "
            "kept as it was before being saved over:\r" +
                kept + "\r\rProfiles missing from the list may still be in that copy.",
            DialogKind::Warning, ButtonOk);
    });
}

// ---- Window and pages ----

void TForm1::FormCreate() {
    setFixedSize(ClientWidth + 2, ClientHeight + 2);
    state_.StartFolder = currentDirectory();
    HideProfileListPage();
    HideProfileEditorPage();
    ShowWelcomePage();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(placedOnScreen(screen->availableGeometry(), size()));
}

void TForm1::FormShow() {
    // A load that fails part-way keeps the rows read so far: the window starts on them like
    // on any others, and the error is shown after.
    std::exception_ptr failed;
    try {
        LoadProfiles(*table_, state_.StartFolder);
    } catch (const std::exception&) {
        failed = std::current_exception();
    }
    showDetails(1);
    // The grid starts on row 1, as it would after its first selection.
    StringGrid1->selectionModel()->setCurrentIndex(
        table_->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    state_.SelectedRow = 1;
    if (failed)
        std::rethrow_exception(failed);
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    guarded (&TForm1::FormShow)();
}

void TForm1::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QColor(0x23, 0x26, 0x2b));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TForm1::closeEvent(QCloseEvent* event) {
    event->ignore(); // the program ends through its own quit, like the close icon
    if (state_.busyFlag == 1) {
        if (stopRequested_)
            return;
        if (shell_.messageDialog("A backup is running. Stop it and quit?", DialogKind::Custom,
                                 ButtonYes | ButtonNo) != ResultYes)
            return;
        // The run ends at its next file or block; the quit waits for it.
        stopRequested_ = true;
        shell_.terminate();
        return;
    }
    // As from the close icon on the welcome page; a start folder that is gone cannot keep
    // the user from quitting.
    changeDirectory(state_.StartFolder);
    takeIoResult();
    shell_.terminate();
}

QPoint placedOnScreen(const QRect& available, const QSize& size) {
    const QPoint centred = available.center() - QRect(QPoint(), size).center();
    const int x =
        std::max(available.left(), std::min(centred.x(), available.right() + 1 - size.width()));
    const int y =
        std::max(available.top(), std::min(centred.y(), available.bottom() + 1 - size.height()));
    return {x, y};
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            button && button->isEnabled() && button->focusPolicy() != Qt::NoFocus) {
            event->accept();
            if (!event->isAutoRepeat()) // a held key presses once
                button->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void TForm1::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    if (QWindow* window = windowHandle(); window && window->startSystemMove())
        return;
    // No move from the window manager: follow the mouse ourselves.
    dragOffset_ = event->globalPosition().toPoint() - pos();
}

void TForm1::mouseMoveEvent(QMouseEvent* event) {
    if (dragOffset_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - *dragOffset_);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void TForm1::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        dragOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

void TForm1::showPage(const std::vector<Place>& page) {
    QWidget* previous = nullptr;
    for (const Place& place : page) {
        place.control->move(place.left, place.top);
        if (place.shownFocus == Qt::NoFocus)
            continue;
        place.control->setFocusPolicy(place.shownFocus);
        if (previous)
            QWidget::setTabOrder(previous, place.control);
        previous = place.control;
    }
    // The close icon and the terms link stay in place: they close every page's round.
    for (QWidget* always : {static_cast<QWidget*>(Image11), static_cast<QWidget*>(Label22)}) {
        if (previous)
            QWidget::setTabOrder(previous, always);
        previous = always;
    }
    settleFocus();
}

void TForm1::hidePage(const std::vector<Place>& page) {
    for (const Place& place : page) {
        place.control->move(HiddenLeft, place.control->y());
        if (place.shownFocus == Qt::NoFocus)
            continue;
        if (place.control->hasFocus() || focusWidget() == place.control)
            place.control->clearFocus();
        place.control->setFocusPolicy(Qt::NoFocus);
    }
    settleFocus();
}

void TForm1::settleFocus() {
    // Keys must never reach a control that is out of view.
    QWidget* focused = focusWidget();
    if (focused && focused->focusPolicy() != Qt::NoFocus)
        return;
    for (const auto* page : {&editorPage_, &listPage_, &welcomePage_})
        for (const Place& place : *page)
            if (place.control->focusPolicy() != Qt::NoFocus && place.control->isEnabled()) {
                place.control->setFocus(Qt::OtherFocusReason);
                return;
            }
}

void TForm1::ShowWelcomePage() {
    showPage(welcomePage_);
}
void TForm1::HideWelcomePage() {
    hidePage(welcomePage_);
}
void TForm1::ShowProfileListPage() {
    showPage(listPage_);
}
void TForm1::HideProfileListPage() {
    hidePage(listPage_);
}
void TForm1::ShowProfileEditorPage() {
    showPage(editorPage_);
}
void TForm1::HideProfileEditorPage() {
    hidePage(editorPage_);
}

void TForm1::BitBtn2Click() {
    Button3Click();
}

void TForm1::Button3Click() {
    ShowProfileListPage();
    HideWelcomePage();
    if (table_->isEmpty()) {
        HideProfileListPage();
        ShowProfileEditorPage();
        Label26->setText(QStringLiteral("Create New Backup / Syncronize profile"));
    }
}

void TForm1::Image11Click() {
    Button17Click();
}

void TForm1::Button17Click() {
    if (Label26->x() == 232 || Label25->x() == 232) {
        HideProfileEditorPage();
        HideProfileListPage();
        ShowWelcomePage();
        return;
    }
    if (!changeDirectory(state_.StartFolder)) {
        const int code = takeIoResult();
        throw IoError(code, ioErrorMessage(code), state_.StartFolder);
    }
    shell_.terminate();
}

void TForm1::Label22Click() {
    shell_.openTermsOfUse();
}

// ---- Profile list page ----

void TForm1::showDetails(int row) {
    const auto cell = [&](int column) { return shown(table_->cell(column, row)); };
    const std::pair<QLabel*, QString> details[] = {
        {Label20, QStringLiteral("Profile : ") + cell(ColName)},
        {Label21, QStringLiteral("Mode : ") + cell(ColType)},
        {Label7, QStringLiteral("Source/Location  : ") + cell(ColSource)},
        {Label8, QStringLiteral("Target/Destination : ") + cell(ColTarget)},
        {Label3, QStringLiteral("Last Run Date & Status : ") + cell(ColLastRun) +
                     QStringLiteral(" >> ") + cell(ColStatus)},
    };
    for (const auto& [detail, text] : details) {
        detail->setText(text);
        detail->adjustSize();
    }
}

void TForm1::StringGrid1SelectCell(int /*column*/, int row) {
    showDetails(row);
    state_.SelectedRow = row;
}

void TForm1::StringGrid1DblClick() {
    if (state_.busyFlag == 0)
        Button5Click();
}

void TForm1::Button7Click() {
    if (state_.SelectedRow <= 0)
        return;
    if (shell_.messageDialog("Delete Selected Profile?", DialogKind::Warning,
                             ButtonYes | ButtonNo) != ResultYes)
        return;
    const int rowCount = table_->RowCount();
    for (int row = state_.SelectedRow; row <= rowCount - 2; ++row)
        table_->copyNextRowInto(row);
    for (int column = 0; column < ProfileTable::ColumnCount; ++column)
        table_->setCell(column, rowCount - 1, std::string());
    // Dropping the last row moves a current row that falls off the end up to the new last
    // row; the grid's selection handler then follows it.
    if (rowCount > 2)
        table_->setRowCount(rowCount - 1);
    // Removing the current row takes its highlight along; the row that is current now
    // is the one the buttons act on.
    const QModelIndex current = StringGrid1->currentIndex();
    if (current.isValid())
        StringGrid1->selectionModel()->select(current, QItemSelectionModel::ClearAndSelect |
                                                           QItemSelectionModel::Rows);
}

void TForm1::Button16Click() {
    const int row = state_.SelectedRow;
    engine_.runProfile();
    announceRunEnd(runOutcome(row, row));
}

void TForm1::Button1Click() {
    engine_.runAll();
    announceRunEnd(runOutcome(1, table_->RowCount() - 1));
}

std::string TForm1::runOutcome(int firstRow, int lastRow) const {
    std::string text;
    for (int row = firstRow; row <= lastRow; ++row) {
        if (!text.empty())
            text += "\n";
        text += table_->cell(ColName, row) + ": " + table_->cell(ColStatus, row);
    }
    return text;
}

void TForm1::announceRunEnd(const std::string& text) {
    if (stopRequested_ || shell_.terminated() || isActiveWindow())
        return;
    QApplication::alert(this);
    shell_.notifyDesktop("Quillmark: the run has ended", text);
}

void TForm1::showLogMenu(const QPoint& at) {
    std::unique_ptr<QMenu> menu(Memo1->createStandardContextMenu());
    menu->addSeparator();
    QAction* save = menu->addAction(QStringLiteral("Save Log..."));
    save->setEnabled(!Memo1->toPlainText().isEmpty());
    connect(save, &QAction::triggered, this, guarded(&TForm1::saveLog));
    menu->exec(Memo1->viewport()->mapToGlobal(at));
}

void TForm1::saveLog() {
    releaseRunDisplay(); // every line of the log so far
    const std::optional<std::string> path =
        shell_.chooseLogFile(joinPath(state_.StartFolder, "quillmark-log.txt"));
    if (!path)
        return;
    std::string bytes = Memo1->toPlainText().toStdString();
    if (!bytes.empty())
        bytes += '\n';
    replaceFile(*path, bytes);
}

void TForm1::Button8Click() {
    try {
        engine_.transferPass();
    } catch (const std::exception& error) {
        showTopLevelError(error.what());
    }
}

// ---- Profile editor page ----

std::string TForm1::editBytes(const QLineEdit* edit) {
    const std::string bytes = edit->property("bytes").toByteArray().toStdString();
    // Names that are not valid UTF-8 keep their bytes as long as the user leaves them alone.
    if (edit->text() == shown(bytes))
        return bytes;
    return edit->text().toStdString();
}

void TForm1::setEditBytes(QLineEdit* edit, const std::string& bytes) {
    edit->setProperty("bytes", QByteArray::fromStdString(bytes));
    edit->setText(shown(bytes));
}

void TForm1::Button6Click() {
    editFlag = 0;
    setEditBytes(Edit4, {});
    setEditBytes(Edit1, {});
    setEditBytes(Edit2, {});
    CheckBox3->setChecked(false);
    CheckBox5->setChecked(false);
    Label26->setText(QStringLiteral("Create new Backup / Syncronize profile"));
    HideProfileListPage();
    ShowProfileEditorPage();
}

void TForm1::Button5Click() {
    const int row = state_.SelectedRow;
    editFlag = 1;
    Label26->setText(QStringLiteral("Edit current Backup / Syncronize profile"));
    if (table_->cell(ColType, row) == "BackUP")
        RadioButton1->setChecked(true);
    else
        RadioButton2->setChecked(true);
    setEditBytes(Edit4, table_->cell(ColName, row));
    setEditBytes(Edit1, table_->cell(ColSource, row));
    setEditBytes(Edit2, table_->cell(ColTarget, row));
    const std::string options = table_->cell(ColOptions, row);
    CheckBox3->setChecked(optionPrompt(options));
    CheckBox5->setChecked(optionDatestamp(options));
    HideProfileListPage();
    ShowProfileEditorPage();
}

void TForm1::Edit4Change() {
    Button15->setEnabled(Edit4->text().size() >= 2);
}

void TForm1::RadioButton1Click() {
    CheckBox5->setEnabled(true);
}

void TForm1::RadioButton2Click() {
    CheckBox5->setEnabled(false);
    CheckBox5->setChecked(false);
}

void TForm1::Button15Click() {
    const std::string name = editBytes(Edit4);
    const std::string source = editBytes(Edit1);
    const std::string target = editBytes(Edit2);
    // The profile file separates cells with "->" and rows with line ends: such a profile
    // would come back split into the wrong columns.
    if (unsafeInProfileFile(name) || unsafeInProfileFile(source) || unsafeInProfileFile(target)) {
        shell_.messageDialog(
            "The profile cannot be saved..!\r\rIts name and folders must not contain \"->\", "
            "a line break or Ctrl-Z (character 26): the profile file uses them to separate a "
            "profile's fields and to mark its end.",
            DialogKind::Error, ButtonOk);
        return;
    }

    int row;
    if (editFlag == 1) {
        row = state_.SelectedRow;
    } else if (table_->firstRowFree()) {
        row = 1;
    } else {
        row = table_->RowCount();
        table_->setRowCount(row + 1);
    }
    const std::string options = std::string(CheckBox3->isChecked() ? "AP" : "NP") + "AO" +
                                (CheckBox5->isChecked() ? "DF" : "DN");
    table_->setCell(ColType, row, RadioButton1->isChecked() ? "BackUP" : "Syncro");
    table_->setCell(ColName, row, name);
    table_->setCell(ColSource, row, source);
    table_->setCell(ColTarget, row, target);
    table_->setCell(ColLastRun, row, "NEVER");
    table_->setCell(ColStatus, row, "Pending");
    table_->setCell(ColOptions, row, options);
    SaveProfiles(*table_, state_.StartFolder);
    HideWelcomePage();
    HideProfileEditorPage();
    ShowProfileListPage();
}

void TForm1::Button4Click() {
    HideProfileEditorPage();
    ShowProfileListPage();
    if (table_->isEmpty()) {
        HideProfileListPage();
        ShowWelcomePage();
    }
}

void TForm1::browse(QLineEdit* edit, const char* accessError) {
    std::string folder = editBytes(edit);
    if (!folder.empty()) {
        changeDirectory(folder);
        if (takeIoResult() != 0) {
            shell_.messageDialog(std::string(accessError) +
                                     "\r\rPlease check the drive/folder and ensure it is "
                                     "accessible!",
                                 DialogKind::Error, ButtonOk);
            folder = state_.StartFolder;
        }
    }
    if (shell_.chooseFolder(folder))
        setEditBytes(edit, folder);
}

void TForm1::Button18Click() {
    browse(Edit1, "Source/Location drive and folder cannot be accessed..!");
}

void TForm1::Button2Click() {
    browse(Edit2, "Target/Destination drive and folder cannot be accessed..!");
}

std::string TForm1::GetDocumentsFolder() {
    return shell_.knownFolder(KnownFolder::Documents).value_or("No Document Folder found.");
}

std::string TForm1::GetDesktopFolder() {
    return shell_.knownFolder(KnownFolder::Desktop).value_or("No Desktop Folder found.");
}

void TForm1::automydocsClick() {
    setEditBytes(Edit1, GetDocumentsFolder());
}

void TForm1::autodesktopClick() {
    setEditBytes(Edit1, GetDesktopFolder());
}

void TForm1::autoemailClick() {
    // The user's own folder, asked for by name: cutting "Desktop" off the desktop path
    // fails wherever that folder is called something else.
    setEditBytes(Edit1, shell_.homeFolder().value_or("No User Folder found."));
}

// ---- What the engine sees ----

void TForm1::holdRunDisplay() {
    if (paintHeld_)
        return;
    // Painting the run display repaints the background picture beneath it, which costs
    // far more than the change itself: the next pump paints every change at once, at most
    // once per interval; the timer paints the last ones when no pump follows.
    paintHeld_ = true;
    for (QWidget* control : runDisplay())
        control->setUpdatesEnabled(false);
    paintFlush_.start();
}

void TForm1::releaseRunDisplay() {
    flushRunDisplay();
    if (paintHeld_) {
        paintHeld_ = false;
        paintFlush_.stop();
        for (QWidget* control : runDisplay())
            control->setUpdatesEnabled(true);
    }
    paintClock_.restart();
}

void TForm1::flushRunDisplay() {
    if (pendingStatus_) {
        StatusBar1->showMessage(shown(*pendingStatus_));
        pendingStatus_.reset();
    }
    if (pendingLog_.isEmpty())
        return;
    // One append lays out the log once instead of once per line; the line breaks make one
    // paragraph of each line, as separate appends do.
    Memo1->appendPlainText(pendingLog_.join(QLatin1Char('\n')));
    pendingLog_.clear();
}

std::array<QWidget*, 3> TForm1::runDisplay() const {
    return {Memo1, StatusBar1, ProgressBar1};
}

void TForm1::setStatus(const std::string& text) {
    holdRunDisplay();
    if (running_)
        pendingStatus_ = text; // most texts of a run are replaced before anyone could see them
    else
        StatusBar1->showMessage(shown(text));
}

void TForm1::appendLog(const std::string& line) {
    holdRunDisplay();
    if (running_)
        pendingLog_.append(shown(line));
    else
        Memo1->appendPlainText(shown(line));
}

void TForm1::clearLog() {
    holdRunDisplay();
    pendingLog_.clear();
    Memo1->clear();
}

void TForm1::setProgress(int position) {
    holdRunDisplay();
    ProgressBar1->setValue(std::clamp(position, 0, 100));
}

int TForm1::askYesNo(const std::string& message) {
    releaseRunDisplay(); // the window behind the dialog shows the run as it stands
    return shell_.messageDialog(message, DialogKind::Confirmation, ButtonYes | ButtonNo);
}

void TForm1::showError(const std::string& message) {
    releaseRunDisplay();
    shell_.messageDialog(message, DialogKind::Error, ButtonOk);
}

void TForm1::showWarning(const std::string& message) {
    releaseRunDisplay();
    shell_.messageDialog(message, DialogKind::Warning, ButtonOk);
}

void TForm1::showTopLevelError(const std::string& message) {
    releaseRunDisplay();
    shell_.topLevelError(topLevelMessageText(message));
}

void TForm1::pumpEvents() {
    // Asking the system for events costs microseconds, and a run pumps after every file:
    // more often than once a millisecond buys no responsiveness.
    if (pumpClock_.isValid() && pumpClock_.nsecsElapsed() < kPumpIntervalNs)
        return;
    pumpClock_.restart();
    if (paintHeld_ && (!paintClock_.isValid() || paintClock_.elapsed() >= kRepaintIntervalMs))
        releaseRunDisplay();
    shell_.processEvents();
}

void TForm1::repaintTable() {
    StringGrid1->viewport()->repaint();
}

void TForm1::setRunControlsEnabled(bool enabled) {
    running_ = !enabled;
    if (enabled)
        releaseRunDisplay(); // the run is over: its last state shows now
    for (QPushButton* control : {Button16, Button1, Button5, Button6, Button7, Button17})
        control->setEnabled(enabled);
}

void TForm1::makeCurrentRow(int row) {
    const QModelIndex current = StringGrid1->currentIndex();
    const QModelIndex target = table_->index(row - 1, current.isValid() ? current.column() : 0);
    StringGrid1->selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect |
                                                               QItemSelectionModel::Rows);
}

void TForm1::selectCell(int column, int row) {
    StringGrid1SelectCell(column, row);
}

} // namespace qm
