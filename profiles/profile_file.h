#pragma once

#include <string>

namespace qm {

class ProfileTable;

/// The profile file's full path in a start folder.
std::string profileFilePath(const std::string& startFolder);

/// Fills the header and data rows from the profile file; creates an empty file when it
/// is missing. A read error raises after the rows read so far; a FIFO, socket, device or
/// folder in its place raises without being opened. throw IoError
void LoadProfiles(ProfileTable& table, const std::string& startFolder);

/// Writes every data row to the profile file, replacing it durably (see replaceFile). The
/// first save after a load that did not read the whole file keeps that file aside first and
/// tells through ProfileTable::unloadedFileKept. throw IoError
void SaveProfiles(ProfileTable& table, const std::string& startFolder);

/// One row's line without its line end: every cell followed by "->".
std::string profileLine(const ProfileTable& table, int row);

/// Parses profile-file bytes into the table (rows from 1), as LoadProfiles does.
void parseProfiles(ProfileTable& table, const std::string& bytes);

} // namespace qm
