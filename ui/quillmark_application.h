#pragma once

#include "qt_shell_services.h"

#include <QApplication>

namespace qm {

/// The application object. Any error that an event handler lets through ends only that
/// handler: it is shown in the top-level error message box and the program goes on.
class QuillmarkApplication : public QApplication {
    Q_OBJECT
public:
    QuillmarkApplication(int& argc, char** argv);

    /// The desktop's dialogs and services.
    ShellServices& shell() { return *reporter_; }
    /// Replaces the services that show the error box (tests answer it by script).
    void setShell(ShellServices* shell) { reporter_ = shell ? shell : &ownShell_; }

    bool notify(QObject* receiver, QEvent* event) override;

    /// Shows the top-level error message for an error's own text.
    void reportError(const std::string& message);

private:
    QtShellServices ownShell_;
    ShellServices* reporter_ = &ownShell_;
};

} // namespace qm
