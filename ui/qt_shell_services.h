#pragma once

#include "shell_services.h"

#include <QObject>
#include <QString>

namespace qm {

/// The desktop's own dialogs and services, on Qt widgets.
class QtShellServices : public ShellServices {
public:
    QtShellServices() = default;
    ~QtShellServices() override;
    QtShellServices(const QtShellServices&) = delete;
    QtShellServices& operator=(const QtShellServices&) = delete;

    int messageDialog(const std::string& text, DialogKind kind, DialogButtons buttons) override;
    void topLevelError(const std::string& text) override;
    bool chooseFolder(std::string& folder) override;
    std::optional<std::string> knownFolder(KnownFolder folder) override;
    std::optional<std::string> homeFolder() override;
    void processEvents() override;
    void terminate() override;
    bool terminated() const override { return terminated_; }
    void openTermsOfUse() override;
    std::optional<std::string> chooseLogFile(const std::string& suggested) override;
    void notifyDesktop(const std::string& title, const std::string& text) override;

    /// Where the terms-of-use document is written before it is opened.
    static QString termsOfUseCopyPath();

private:
    bool terminated_ = false;
    QObject viewers_; ///< owns the watches of running document launchers
};

} // namespace qm
