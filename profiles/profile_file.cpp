#include "profile_file.h"

#include "folders.h"
#include "pending_io.h"
#include "profile_table.h"
#include "text_file.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace qm {

namespace {

constexpr std::string_view kDelimiter = "->";

/// True for text that holds nothing but blanks: losing it loses nothing.
bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t") == std::string_view::npos;
}

/// Splits one line into `cells`: a field closes before every "->"; the first field is
/// kept whole, the later ones without the "->" that closed the field before them. Returns
/// the number of complete fields, stored or not (only the first seven are stored).
/// `readable` becomes false when text of the line lands in no cell: a line without a
/// complete field, or text after its last "->". Surplus fields are a table's own rule.
int parseLine(std::string_view line, ProfileTable::Row& cells, bool& readable) {
    std::size_t fieldStart = 0;
    int fields = 0;
    // A field ends at i whenever "->" starts at i + 1, so every "->" past the first
    // character closes one.
    for (std::size_t at = line.find(kDelimiter, 1); at != std::string_view::npos;
         at = line.find(kDelimiter, at + 1)) {
        ++fields;
        const std::string_view field = line.substr(fieldStart, at - fieldStart);
        if (fields == 1)
            cells[0].assign(field);
        else if (fields <= ProfileTable::ColumnCount)
            cells[static_cast<std::size_t>(fields - 1)].assign(
                field.substr(std::min<std::size_t>(2, field.size())));
        fieldStart = at;
    }
    // what is left is normally the last "->" alone
    const std::string_view rest = line.substr(fields == 0 ? 0 : fieldStart + kDelimiter.size());
    readable = isBlank(rest);
    return fields;
}

/// Line n fills row n; a line without a complete field leaves its row as it was, and only
/// the rows up to the last complete field count. False when the file has more lines than
/// the table can number, or a line whose text a save would lose (not a profile table).
bool readRows(ProfileTable& table, TextReader& reader) {
    ProfileTable::Batch batch(table);
    ProfileTable::Row cells;
    bool allRead = true;
    for (int row = 1; !reader.eof(); ++row) {
        if (row == std::numeric_limits<int>::max())
            return false;
        bool readable = true;
        const int fields = parseLine(reader.readLine(), cells, readable);
        allRead = allRead && readable;
        if (fields == 0)
            continue;
        table.setRowCount(row + 1);
        table.setLeadingCells(row, cells, fields);
    }
    return allRead;
}

} // namespace

std::string profileFilePath(const std::string& startFolder) {
    return joinPath(startFolder, "quillmark.txt");
}

void parseProfiles(ProfileTable& table, const std::string& bytes) {
    TextReader reader;
    reader.openBuffer(bytes);
    readRows(table, reader);
}

void LoadProfiles(ProfileTable& table, const std::string& startFolder) {
    table.writeHeader();
    const std::string path = profileFilePath(startFolder);
    // Until the file has been read to its end, the next save keeps it aside first.
    table.setFileReadWhole(false);
    TextReader reader;
    if (!reader.open(path)) { // throws for a FIFO, socket, device or folder
        // Only a missing file holds nothing to lose.
        if (takeIoResult() == 2)
            table.setFileReadWhole(true);
        if (!createEmptyFile(path)) {
            const int code = takeIoResult(); // the box names the file it could not read
            throw IoError(code, ioErrorMessage(code), path);
        }
        return;
    }
    const bool allLines = readRows(table, reader);
    if (const int code = reader.readError(); code != 0)
        throw IoError(code, ioErrorMessage(code), path);
    table.setFileReadWhole(allLines && !reader.stoppedAtCtrlZ());
}

namespace {

void appendLine(std::string& bytes, const ProfileTable::Row& cells) {
    for (const std::string& cell : cells) {
        bytes += cell;
        bytes += kDelimiter;
    }
}

} // namespace

std::string profileLine(const ProfileTable& table, int row) {
    std::string line;
    appendLine(line, table.row(row));
    return line;
}

void SaveProfiles(ProfileTable& table, const std::string& startFolder) {
    std::string bytes;
    for (int row = 1; row < table.RowCount(); ++row) {
        appendLine(bytes, table.row(row));
        bytes += "\r\n";
    }
    const std::string kept =
        replaceFile(profileFilePath(startFolder), bytes, !table.fileReadWhole());
    table.setFileReadWhole(true);
    if (!kept.empty())
        emit table.unloadedFileKept(kept);
}

} // namespace qm
