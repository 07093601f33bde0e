#include "shell.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cstdlib>
#include <unistd.h>

namespace qm {

std::string computerName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0')
        return "localhost";
    std::string name(buffer);
    if (name.size() > 30)
        name.resize(30);
    return name;
}

std::optional<std::string> knownFolderPath(KnownFolder folder) {
    auto location = folder == KnownFolder::Documents ? QStandardPaths::DocumentsLocation
                                                     : QStandardPaths::DesktopLocation;
    QString path = QStandardPaths::writableLocation(location);
    if (path.isEmpty())
        return std::nullopt;
    return QFile::encodeName(path).toStdString();
}

std::optional<std::string> homeFolderPath() {
    // $HOME first: it is the bytes as they stand, with no round trip through QString.
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home);
    QString path = QDir::homePath();
    if (path.isEmpty())
        return std::nullopt;
    return QFile::encodeName(path).toStdString();
}

} // namespace qm
