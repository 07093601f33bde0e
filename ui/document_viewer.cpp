#include "document_viewer.h"

#include "io_error.h"

#include <QProcess>
#include <QStandardPaths>

namespace qm {

namespace {

constexpr char Launcher[] = "xdg-open";
constexpr char Headline[] = "The terms of use cannot be shown";

} // namespace

std::string launcherFailureText(int exitStatus) {
    // The exit statuses xdg-open documents.
    std::string reason;
    switch (exitStatus) {
    case 1:
        reason = "the launcher did not understand its command";
        break;
    case 2:
        reason = "the document could not be found";
        break;
    case 3:
        reason = "no application is available to open PDF documents";
        break;
    case 4:
        reason = "the PDF viewer failed to open it";
        break;
    default:
        reason = "the launcher failed";
        break;
    }
    return std::string(Headline) + " (" + Launcher + " ended with status " +
           std::to_string(exitStatus) + "): " + reason;
}

void openInDesktopViewer(const QString& path, QObject* owner,
                         std::function<void(const std::string&)> failed) {
    const QString launcher = QStandardPaths::findExecutable(QString::fromLatin1(Launcher));
    if (launcher.isEmpty())
        throw RuntimeError(std::string(Headline) +
                           ": no application is available to open PDF documents (the "
                           "desktop's launcher " +
                           Launcher + " is not installed)");
    auto* process = new QProcess(owner);
    // No pipes: a viewer that the launcher leaves running must not hold them.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process,
                     [process, failed](int exitCode, QProcess::ExitStatus status) {
                         process->deleteLater();
                         if (status == QProcess::NormalExit && exitCode == 0)
                             return;
                         failed(status == QProcess::NormalExit
                                    ? launcherFailureText(exitCode)
                                    : std::string(Headline) + ": the launcher " + Launcher +
                                          " ended abnormally");
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, failed](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         failed(std::string(Headline) + ": the launcher " + Launcher +
                                " could not be started (" + process->errorString().toStdString() +
                                ")");
                     });
    process->start(launcher, {path});
}

} // namespace qm
