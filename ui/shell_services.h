#pragma once

#include "shell.h"

#include <optional>
#include <string>

namespace qm {

/// Kinds of message dialog: each brings its caption and icon.
enum class DialogKind { Warning, Error, Information, Confirmation, Custom };

/// Buttons of a message dialog; they stand in this order from left to right.
enum DialogButton : unsigned {
    ButtonYes = 1u << 0,
    ButtonNo = 1u << 1,
    ButtonOk = 1u << 2,
    ButtonCancel = 1u << 3,
    ButtonAbort = 1u << 4,
    ButtonRetry = 1u << 5,
    ButtonIgnore = 1u << 6,
    ButtonAll = 1u << 7,
    ButtonNoToAll = 1u << 8,
    ButtonYesToAll = 1u << 9,
};
using DialogButtons = unsigned;

/// Result codes of a message dialog.
enum DialogResult : int {
    ResultOk = 1,
    ResultCancel = 2, ///< also: closed by its close box, or the application is ending
    ResultAbort = 3,
    ResultRetry = 4,
    ResultIgnore = 5,
    ResultYes = 6,
    ResultNo = 7,
    ResultAll = 8,
    ResultNoToAll = 9,
    ResultYesToAll = 10,
};

/// What the window needs of the desktop: modal dialogs, the folder chooser, known folders,
/// the event pump, termination and the terms-of-use document. Tests answer it by script.
class ShellServices {
public:
    virtual ~ShellServices() = default;

    /// Shows a modal message dialog and returns the result code of the button that closed
    /// it; 2 when closed by its close box or once terminate() has been called.
    virtual int messageDialog(const std::string& text, DialogKind kind, DialogButtons buttons) = 0;
    /// The top-level error message box: application title, stop icon, OK. `text` is final.
    virtual void topLevelError(const std::string& text) = 0;

    /// Folder chooser starting on `folder` (the current directory when empty). True on OK,
    /// with `folder` the chosen path; false on Cancel, `folder` unchanged. A typed folder that
    /// does not exist is confirmed first and then created with every missing level.
    /// throw IoError ("Unable to create directory" for an empty or bare missing name)
    virtual bool chooseFolder(std::string& folder) = 0;

    /// Documents or Desktop; none when the desktop defines no such folder.
    virtual std::optional<std::string> knownFolder(KnownFolder folder) = 0;
    /// The user's home folder; none when it is not known.
    virtual std::optional<std::string> homeFolder() = 0;

    /// Runs every waiting event and returns as soon as none is left.
    virtual void processEvents() = 0;
    /// Asks the main event loop to end once the running handler returns.
    virtual void terminate() = 0;
    virtual bool terminated() const = 0;

    /// The desktop's file dialog for saving the run log, starting on `suggested`; the chosen
    /// path, or none when the user cancels.
    virtual std::optional<std::string> chooseLogFile(const std::string& suggested) = 0;

    /// A desktop notification where the desktop offers one; nothing otherwise.
    virtual void notifyDesktop(const std::string& title, const std::string& text) = 0;

    /// Opens the program's terms-of-use document in the desktop's viewer, without waiting; a
    /// viewer that fails later is reported in the top-level error box.
    /// throw RuntimeError when it cannot even be started
    virtual void openTermsOfUse() = 0;
};

} // namespace qm
