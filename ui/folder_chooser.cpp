#include "folder_chooser.h"

#include "io_error.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <sys/stat.h>

namespace qm {

namespace {

bool folderExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void createLevels(const std::string& path) {
    if (path.empty() || folderExists(path))
        return;
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        createLevels(path.substr(0, slash));
    ::mkdir(path.c_str(), 0777); // a level that cannot be made ends the chain silently
}

} // namespace

void forceDirectories(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    if (trimmed.empty())
        throw IoError(3, "Unable to create directory");
    // A bare missing name has no parent part to create it in.
    if (trimmed.find('/') == std::string::npos && !folderExists(trimmed))
        throw IoError(3, "Unable to create directory");
    createLevels(trimmed);
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
    setDirectory(startFolder.isEmpty() ? QDir::currentPath() : startFolder);

    // Like the chooser it stands for, every folder opened becomes the current directory.
    connect(this, &QFileDialog::directoryEntered, this,
            [](const QString& folder) { QDir::setCurrent(folder); });

    pathEdit_ = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (auto* box = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox")))
        okButton_ = box->button(QDialogButtonBox::Open);
    // The dialog greys OK out for a folder that does not exist; this chooser allows it.
    if (okButton_)
        okButton_->installEventFilter(this);
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
    if (!QFileInfo(QDir(shown).absoluteFilePath(typed)).isDir() &&
        !(confirmCreate_ && confirmCreate_()))
        return; // stays open
    chosen_ = typed;
    QDialog::accept();
}

} // namespace qm
