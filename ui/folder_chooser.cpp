#include "folder_chooser.h"

#include "folders.h"
#include "io_error.h"
#include "listing.h"
#include "mounts.h"

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

namespace qm {

namespace {
FolderChooser::MountTable& mountTable() {
    static FolderChooser::MountTable table;
    return table;
}
} // namespace

void FolderChooser::setMountTable(MountTable table) {
    mountTable() = std::move(table);
}

void forceDirectories(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed.empty())
        throw IoError(3, "Unable to create directory");
    // A bare missing name has no parent part to create it in.
    if (trimmed.find('/') == std::string::npos && !folderExists(trimmed))
        throw IoError(3, "Unable to create directory");
    makeFolders(trimmed);
}

FolderChooser::FolderChooser(const QString& startFolder, Confirm confirmCreate, QWidget* parent)
    : QFileDialog(parent), confirmCreate_(std::move(confirmCreate)) {
    setWindowTitle(QStringLiteral("Select Directory"));
    setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ShowDirsOnly);
    setFileMode(QFileDialog::Directory);
    setAcceptMode(QFileDialog::AcceptOpen);
    setLabelText(QFileDialog::FileName, QStringLiteral("Directory &Name:"));
    setLabelText(QFileDialog::LookIn, QStringLiteral("&Directories:"));
    setLabelText(QFileDialog::Accept, QStringLiteral("OK"));
    setLabelText(QFileDialog::Reject, QStringLiteral("Cancel"));

    pathEdit_ = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (auto* box = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox")))
        okButton_ = box->button(QDialogButtonBox::Open);
    // The dialog greys OK out for a folder that does not exist; this chooser allows it.
    if (okButton_)
        okButton_->installEventFilter(this);

    // A label shows "&" as an access key only when it has a buddy to hand the focus to.
    folders_ = findChild<QAbstractItemView*>(QStringLiteral("listView"));
    QAbstractItemView* folders = folders_;
    folderLabel_ = findChild<QLabel*>(QStringLiteral("lookInLabel"));
    if (folderLabel_ && folders)
        folderLabel_->setBuddy(folders);
    if (auto* nameLabel = findChild<QLabel*>(QStringLiteral("fileNameLabel"));
        nameLabel && pathEdit_)
        nameLabel->setBuddy(pathEdit_);
    // Only folders can be chosen: a file type box has nothing to offer.
    for (const char* typeRow : {"fileTypeLabel", "fileTypeCombo"})
        if (auto* widget = findChild<QWidget*>(QLatin1String(typeRow)))
            widget->hide();

    // The current folder's files, greyed: they show where the user is, nothing more.
    auto* filePanel = new QWidget(this);
    filePanel->setObjectName(QStringLiteral("filePanel"));
    auto* fileLayout = new QVBoxLayout(filePanel);
    fileLayout->setContentsMargins(0, 0, 0, 0);
    fileLabel_ = new QLabel(QStringLiteral("&Files: (*.*)"), filePanel);
    fileLabel_->setObjectName(QStringLiteral("fileLabel"));
    fileList_ = new QListWidget(filePanel);
    fileList_->setObjectName(QStringLiteral("fileList"));
    fileList_->setAccessibleName(QStringLiteral("Files"));
    fileList_->setEnabled(false);
    fileLabel_->setBuddy(fileList_);
    fileLayout->addWidget(fileLabel_);
    fileLayout->addWidget(fileList_);

    // Linux has no drive letters: the "drives" are the root and every mounted medium.
    driveLabel_ = new QLabel(QStringLiteral("D&rives:"), filePanel);
    driveLabel_->setObjectName(QStringLiteral("driveLabel"));
    driveBox_ = new QComboBox(filePanel);
    driveBox_->setObjectName(QStringLiteral("driveBox"));
    driveBox_->setAccessibleName(QStringLiteral("Drives"));
    driveLabel_->setBuddy(driveBox_);
    // From the kernel's table alone: asking a mount for its details (free space, label)
    // can block for minutes on a stalled network or FUSE file system.
    QStringList roots{QStringLiteral("/")};
    const std::string table = mountTable() ? mountTable()() : readMountInfo();
    for (const MountEntry& mount : blockDeviceMounts(table)) {
        const QString at = QString::fromStdString(mount.mountPoint);
        if (!roots.contains(at) && at != QStringLiteral("/boot") &&
            !at.startsWith(QStringLiteral("/boot/")))
            roots << at;
    }
    for (const QString& at : roots)
        driveBox_->addItem(at, at);
    fileLayout->addWidget(driveLabel_);
    fileLayout->addWidget(driveBox_);
    // choosing a drive opens it like any other folder (setDirectory alone reports nothing)
    connect(driveBox_, &QComboBox::activated, this, [this](int index) {
        const QString at = driveBox_->itemData(index).toString();
        setDirectory(at);
        QDir::setCurrent(at);
        listFiles(at);
        showSelectedPath(true);
    });
    if (auto* splitter = findChild<QSplitter*>(QStringLiteral("splitter"))) {
        splitter->addWidget(filePanel);
        splitter->setStretchFactor(splitter->indexOf(filePanel), 0);
    }

    setDirectory(startFolder.isEmpty() ? QDir::currentPath() : startFolder);

    // Like the chooser it stands for, every folder opened becomes the current directory.
    connect(this, &QFileDialog::directoryEntered, this, [this](const QString& folder) {
        QDir::setCurrent(folder);
        listFiles(folder);
        showSelectedPath(true);
    });
    if (pathEdit_)
        connect(pathEdit_, &QLineEdit::textEdited, this, [this] { typedByUser_ = true; });
    // Connected after the dialog's own handler, which puts the bare name into the box.
    if (folders)
        connect(folders->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this] { showSelectedPath(); });
    listFiles(directory().absolutePath());
    showSelectedPath(true);
}

QString FolderChooser::selectedFolder() const {
    const QString shown = directory().absolutePath();
    if (!folders_ || !folders_->selectionModel())
        return shown;
    // Straight from the list: the dialog's own idea of the selection includes the typed text.
    for (const QModelIndex& index : folders_->selectionModel()->selectedRows()) {
        const QString full = index.data(QFileSystemModel::FilePathRole).toString();
        if (!full.isEmpty() && folderExists(full.toStdString()))
            return QDir::cleanPath(full);
    }
    return shown;
}

void FolderChooser::showSelectedPath(bool always) {
    if (!pathEdit_)
        return;
    // Typing selects the matching folder in the list: that must not replace what is typed.
    if (!always && typedByUser_ && !(folders_ && folders_->hasFocus()))
        return;
    typedByUser_ = false;
    lastShown_ = selectedFolder();
    if (pathEdit_->text() != lastShown_) {
        // Quietly: the dialog would take a typed path as a selection of its own.
        const QSignalBlocker quiet(pathEdit_);
        pathEdit_->setText(lastShown_);
    }
    pathEdit_->selectAll();
    if (okButton_)
        okButton_->setEnabled(true);
}

void FolderChooser::listFiles(const QString& folder) {
    fileList_->clear();
    FolderListing listing(folder.toStdString(), ListingDetail::KindOnly);
    std::vector<QString> names;
    ListEntry entry;
    while (listing.next(entry))
        if ((entry.kind == EntryKind::File || entry.kind == EntryKind::Symlink) &&
            !entry.name.starts_with('.'))
            names.push_back(QString::fromStdString(entry.name));
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QString::localeAwareCompare(a, b) < 0;
    });
    for (const QString& name : names)
        fileList_->addItem(name);
}

void FolderChooser::showEvent(QShowEvent* event) {
    QFileDialog::showEvent(event);
    // Typing replaces the path at once.
    if (pathEdit_) {
        pathEdit_->setFocus(Qt::OtherFocusReason);
        pathEdit_->selectAll();
    }
}

bool FolderChooser::eventFilter(QObject* watched, QEvent* event) {
    if (watched == okButton_ && event->type() == QEvent::EnabledChange && !okButton_->isEnabled() &&
        pathEdit_ && !pathEdit_->text().isEmpty())
        okButton_->setEnabled(true);
    return QFileDialog::eventFilter(watched, event);
}

void FolderChooser::accept() {
    const QString shown = directory().absolutePath();
    QDir::setCurrent(shown);
    const QString typed = pathEdit_ ? pathEdit_->text() : QString();
    if (typed.isEmpty()) {
        chosen_ = shown;
        QDialog::accept();
        return;
    }
    if (!folderExists(QDir(shown).absoluteFilePath(typed).toStdString()) &&
        !(confirmCreate_ && confirmCreate_()))
        return; // stays open
    chosen_ = typed;
    QDialog::accept();
}

} // namespace qm
