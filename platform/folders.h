#pragma once

#include <string>

namespace qm {

/// The process's current directory, no trailing "/" except for "/". throw IoError
std::string currentDirectory();

/// Changes the process's current directory. On failure: unchanged, code pending, false.
bool changeDirectory(const std::string& path);

/// Creates the last component only (mkdir `mode`, umask applies). On failure: code pending
/// (3 parent missing, 183 exists, 5 no access), false.
bool createFolder(const std::string& path, mode_t mode = 0777);

/// True when `path` names a folder (links followed). Nothing pending.
bool folderExists(const std::string& path);

/// Creates `path` with every missing level, parents first; a folder that exists is left as it
/// is. Nothing pending.
/// throw IoError(code, "Unable to create directory. <reason>", level) for the first level
/// that cannot be made
void makeFolders(const std::string& path);

/// The absolute path of an existing path with every link and "." or ".." resolved; empty
/// when it cannot be resolved. Nothing pending.
std::string resolvedPath(const std::string& path);

/// Joins a folder and a name with exactly one "/".
std::string joinPath(const std::string& folder, const std::string& name);

} // namespace qm
