#pragma once

#include <stdexcept>
#include <string>

namespace qm {

/// Base of every error that ends a handler and reaches the top-level error message.
class RuntimeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// An I/O error raised by the I/O check; carries the program's error code.
class IoError : public RuntimeError {
public:
    explicit IoError(int code);
    IoError(int code, const std::string& message);
    /// An error that concerns one file or folder, which the error box names.
    IoError(int code, const std::string& message, const std::string& path);
    int code() const { return code_; }
    /// The file or folder concerned; empty when none is known.
    const std::string& path() const { return path_; }

private:
    int code_;
    std::string path_;
};

/// "Invalid argument to date encode" and the like.
class ConvertError : public RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

/// Floating-point and integer arithmetic faults ("Floating point division by zero", ...).
class MathError : public RuntimeError {
public:
    using RuntimeError::RuntimeError;
};

/// The message shown for an I/O error code ("File not found", "I/O error 112", ...).
std::string ioErrorMessage(int code);

/// The reason for an error code in words, as a sentence ("Access is denied: ...").
std::string ioErrorReason(int code);

/// How far a failed operation reaches. A name, size or kind that the file system refuses,
/// no access at one place, or something in the way concerns that path alone: it is named
/// in the run log and the pass goes on. A full medium, a quota, a read-only or failing
/// medium, or anything unforeseen stops every later write too, so it ends the run.
enum class FailureReach { ThisPath, Medium };

/// A failure as the program sees it: the code it shows and how far it reaches.
struct IoFailure {
    int code = 0; ///< 0: no failure
    FailureReach reach = FailureReach::Medium;

    bool concernsOnlyThisPath() const { return reach == FailureReach::ThisPath; }
};

/// Maps errno to the program's error code and its reach. The one place that table lives:
/// several errnos share a code (EINVAL and an unforeseen error both show 31), so the reach
/// is decided here, from the errno, and travels with the code.
/// `folderOperation`: ENOENT gives 3 rather than 2. `path` decides 2 vs 3 for files
/// (3 when a folder on the way is missing).
IoFailure failureFromErrno(int err, bool folderOperation = false, const std::string& path = {});

/// The code alone of failureFromErrno.
int codeFromErrno(int err, bool folderOperation = false, const std::string& path = {});

/// The top-level error message's text: a full stop is appended when the last
/// character's code is above that of "."; only the first line counts, the lines below it
/// (a path) are kept as they are.
std::string topLevelMessageText(const std::string& message);

/// An error's text for the top-level box: its message, and the file or folder it concerns
/// on a line of its own.
std::string errorText(const std::exception& error);

} // namespace qm
