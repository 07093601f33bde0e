#pragma once

#include "shell_services.h"

#include <QString>

namespace qm {

/// The desktop's own dialogs and services, on Qt widgets.
class QtShellServices : public ShellServices {
public:
    int messageDialog(const std::string& text, DialogKind kind, DialogButtons buttons) override;
    void topLevelError(const std::string& text) override;
    bool chooseFolder(std::string& folder) override;
    std::optional<std::string> knownFolder(KnownFolder folder) override;
    std::optional<std::string> homeFolder() override;
    void processEvents() override;
    void terminate() override;
    bool terminated() const override { return terminated_; }
    void openTermsOfUse() override;

    /// Where the terms-of-use document is written before it is opened.
    static QString termsOfUseCopyPath();

private:
    bool terminated_ = false;
};

} // namespace qm
