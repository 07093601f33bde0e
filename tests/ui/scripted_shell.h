#pragma once

#include "io_error.h"
#include "shell_services.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/// Dialogs and shell services answered by script: nothing blocks, everything is recorded.
class ScriptedShell : public qm::ShellServices {
public:
    struct Message {
        std::string text;
        qm::DialogKind kind;
        qm::DialogButtons buttons;
    };

    int messageDialog(const std::string& text, qm::DialogKind kind,
                      qm::DialogButtons buttons) override {
        messages.push_back({text, kind, buttons});
        if (isTerminated || answers.empty())
            return qm::ResultCancel;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void topLevelError(const std::string& text) override { topLevelErrors.push_back(text); }
    bool chooseFolder(std::string& folder) override {
        chooserStarts.push_back(folder);
        if (folderChoices.empty() || !folderChoices.front()) {
            if (!folderChoices.empty())
                folderChoices.pop_front();
            return false;
        }
        folder = *folderChoices.front();
        folderChoices.pop_front();
        return true;
    }
    std::optional<std::string> knownFolder(qm::KnownFolder folder) override {
        return folder == qm::KnownFolder::Documents ? documents : desktop;
    }
    std::optional<std::string> homeFolder() override { return home; }
    void processEvents() override {
        ++pumps;
        if (onPump)
            onPump();
    }
    void terminate() override { isTerminated = true; }
    bool terminated() const override { return isTerminated; }
    void openTermsOfUse() override {
        ++termsOpened;
        if (!termsFailure.empty())
            throw qm::RuntimeError(termsFailure);
    }

    std::optional<std::string> chooseLogFile(const std::string& suggested) override {
        logFileStarts.push_back(suggested);
        return logFile;
    }
    void notifyDesktop(const std::string& title, const std::string& text) override {
        notifications.push_back(title + "|" + text);
    }

    std::deque<int> answers;
    std::vector<Message> messages;
    std::deque<std::optional<std::string>> folderChoices; ///< none: the user cancels
    std::vector<std::string> chooserStarts;
    std::optional<std::string> documents;
    std::optional<std::string> desktop;
    std::optional<std::string> home;
    std::vector<std::string> topLevelErrors;
    bool isTerminated = false;
    int termsOpened = 0;
    std::string termsFailure;
    int pumps = 0;
    std::function<void()> onPump;       ///< runs inside every pump, as a click during a run would
    std::optional<std::string> logFile; ///< none: the user cancels
    std::vector<std::string> logFileStarts;
    std::vector<std::string> notifications; ///< "title|text"
};

/// The scripted services that the test application reports its top-level errors to.
ScriptedShell& applicationShell();
