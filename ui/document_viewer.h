#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>

namespace qm {

/// Opens a document in the desktop's viewer through its launcher (xdg-open) without waiting.
/// A launcher that ends with a status other than 0, or cannot run, is reported to
/// `failed` later, from the event loop, with the reason in words. The launcher's watch lives
/// as a child of `owner`.
/// throw RuntimeError when there is no launcher at all
void openInDesktopViewer(const QString& path, QObject* owner,
                         std::function<void(const std::string&)> failed);

/// The reason in words for a launcher's exit status.
std::string launcherFailureText(int exitStatus);

} // namespace qm
