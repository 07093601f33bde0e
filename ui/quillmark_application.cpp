#include "quillmark_application.h"

#include "io_error.h"

#include <exception>

namespace qm {

QuillmarkApplication::QuillmarkApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Quillmark"));
    setDesktopFileName(QStringLiteral("quillmark"));
}

bool QuillmarkApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        reportError(errorText(error));
    } catch (...) {
        reportError("Unknown error");
    }
    return true;
}

void QuillmarkApplication::reportError(const std::string& message) {
    reporter_->topLevelError(topLevelMessageText(message));
}

} // namespace qm
