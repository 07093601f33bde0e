#include "profile_file.h"

#include "folders.h"
#include "pending_io.h"
#include "profile_table.h"
#include "text_file.h"

#include <string_view>

namespace qm {

namespace {

constexpr std::string_view kDelimiter = "->";

/// Fills row `row` from one line: a field closes before every "->"; the first field is
/// stored whole, the later ones without the "->" that closed the field before them.
void parseLine(ProfileTable& table, int row, std::string_view line) {
    std::size_t fieldStart = 0;
    int fields = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line.compare(i + 1, kDelimiter.size(), kDelimiter) != 0)
            continue;
        ++fields;
        std::string_view field = line.substr(fieldStart, i + 1 - fieldStart);
        if (fields == 1) {
            table.setRowCount(row + 1);
            table.setCell(0, row, std::string(field));
        } else {
            // Surplus fields are dropped, but still make room for the row.
            table.setRowCount(row + 1);
            if (fields <= ProfileTable::ColumnCount)
                table.setCell(fields - 1, row,
                              std::string(field.substr(std::min<std::size_t>(2, field.size()))));
        }
        fieldStart = i + 1;
    }
}

/// Line n fills row n.
void readRows(ProfileTable& table, TextReader& reader) {
    for (int row = 1; !reader.eof(); ++row)
        parseLine(table, row, reader.readLine());
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
    TextReader reader;
    if (!reader.open(path)) {
        takeIoResult();
        if (!createEmptyFile(path))
            ioCheck();
        return;
    }
    readRows(table, reader);
}

std::string profileLine(const ProfileTable& table, int row) {
    std::string line;
    for (int column = 0; column < ProfileTable::ColumnCount; ++column) {
        line += table.cell(column, row);
        line += kDelimiter;
    }
    return line;
}

void SaveProfiles(const ProfileTable& table, const std::string& startFolder) {
    std::string bytes;
    for (int row = 1; row < table.RowCount(); ++row) {
        bytes += profileLine(table, row);
        bytes += "\r\n";
    }
    writeFileAtomically(profileFilePath(startFolder), bytes);
}

} // namespace qm
