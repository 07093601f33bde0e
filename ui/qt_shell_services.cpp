#include "qt_shell_services.h"

#include "document_viewer.h"
#include "folder_chooser.h"
#include "io_error.h"
#include "message_dialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace qm {

namespace {

QWidget* dialogParent() {
    return QApplication::activeWindow();
}

} // namespace

QtShellServices::~QtShellServices() {
    // Launchers still running when the program ends report to nobody.
    for (QProcess* launcher : viewers_.findChildren<QProcess*>())
        launcher->disconnect();
}

int QtShellServices::messageDialog(const std::string& text, DialogKind kind,
                                   DialogButtons buttons) {
    if (terminated_)
        return ResultCancel;
    MessageDialog dialog(text, kind, buttons, dialogParent());
    dialog.exec();
    return dialog.resultCode();
}

void QtShellServices::topLevelError(const std::string& text) {
    if (terminated_)
        return;
    MessageDialog dialog(text, DialogKind::Custom, ButtonOk, dialogParent());
    dialog.setIcon(QMessageBox::Critical);
    dialog.exec();
}

bool QtShellServices::chooseFolder(std::string& folder) {
    if (terminated_)
        return false;
    FolderChooser chooser(QString::fromStdString(folder), [this] {
        return messageDialog("The specified directory does not exist. Create it?",
                             DialogKind::Confirmation, ButtonYes | ButtonNo) == ResultYes;
    });
    if (chooser.exec() != QDialog::Accepted)
        return false;
    const QString chosen = chooser.chosenText();
    forceDirectories(chosen.toStdString());
    // Profiles hold full paths: a name typed relative to the shown folder is resolved.
    QString full = QDir::cleanPath(QDir::current().absoluteFilePath(chosen));
    folder = full.toStdString();
    return true;
}

std::optional<std::string> QtShellServices::knownFolder(KnownFolder folder) {
    return knownFolderPath(folder);
}

std::optional<std::string> QtShellServices::homeFolder() {
    return homeFolderPath();
}

void QtShellServices::processEvents() {
    QCoreApplication::processEvents();
}

void QtShellServices::terminate() {
    terminated_ = true;
    // Posted: the main loop ends once it takes the request, after the running handler.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

QString QtShellServices::termsOfUseCopyPath() {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
           QStringLiteral("/terms-of-use.pdf");
}

void QtShellServices::openTermsOfUse() {
    const QString target = termsOfUseCopyPath();
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder))
        throw RuntimeError("Cannot create the folder " + folder.toStdString());
    QFile::remove(target);
    QFile source(QStringLiteral(":/quillmark/terms-of-use.pdf"));
    if (!source.copy(target))
        throw RuntimeError("Cannot write " + target.toStdString() + ": " +
                           source.errorString().toStdString());
    // Copies out of the resources are read-only; let the next copy replace this one.
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                      QFile::ReadOther);
    // Reported later, from the event loop, as if the click had raised it.
    openInDesktopViewer(target, &viewers_, [this](const std::string& reason) {
        topLevelError(topLevelMessageText(reason));
    });
}

std::optional<std::string> QtShellServices::chooseLogFile(const std::string& suggested) {
    if (terminated_)
        return std::nullopt;
    const QString path = QFileDialog::getSaveFileName(
        dialogParent(), QStringLiteral("Save Log"), QString::fromStdString(suggested),
        QStringLiteral("Text files (*.txt);;All files (*)"));
    if (path.isEmpty())
        return std::nullopt;
    return path.toStdString();
}

void QtShellServices::notifyDesktop(const std::string& title, const std::string& text) {
    // Desktops without a notification service simply go without.
    const QString notifier = QStandardPaths::findExecutable(QStringLiteral("notify-send"));
    if (notifier.isEmpty())
        return;
    QProcess::startDetached(
        notifier, {QStringLiteral("--app-name=Quillmark"), QStringLiteral("--icon=quillmark"),
                   QString::fromStdString(title), QString::fromStdString(text)});
}

} // namespace qm
