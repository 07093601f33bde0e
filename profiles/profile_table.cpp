#include "profile_table.h"

#include <algorithm>

namespace qm {

namespace {

constexpr std::array<const char*, ProfileTable::ColumnCount> kHeaders = {
    "Type", "Profile Name", "Source/Location", "Target/Destination", "Last Run", "Status", "Options"};

bool flagAt(const std::string& code, std::size_t position, const char* flag) {
    return code.size() >= position + 2 && code.compare(position, 2, flag) == 0;
}

} // namespace

ProfileTable::ProfileTable(QObject* parent) : QAbstractTableModel(parent), rows_(2) {}

void ProfileTable::setRowCount(int count) {
    count = std::max(count, 2);
    const int old = RowCount();
    if (count == old)
        return;
    // Qt rows are the data rows, one less than the table's rows.
    if (count > old) {
        beginInsertRows({}, old - 1, count - 2);
        rows_.resize(static_cast<std::size_t>(count));
        endInsertRows();
    } else {
        beginRemoveRows({}, count - 1, old - 2);
        rows_.resize(static_cast<std::size_t>(count));
        endRemoveRows();
    }
}

std::string ProfileTable::cell(int column, int row) const {
    if (column < 0 || column >= ColumnCount || row < 0 || row >= RowCount())
        return {};
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

void ProfileTable::setCell(int column, int row, const std::string& text) {
    if (column < 0 || column >= ColumnCount || row < 0 || row >= RowCount())
        return;
    rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
    if (row == 0) {
        emit headerDataChanged(Qt::Horizontal, column, column);
    } else {
        const QModelIndex at = index(row - 1, column);
        emit dataChanged(at, at);
    }
}

void ProfileTable::copyNextRowInto(int row) {
    if (row < 0 || row + 1 >= RowCount())
        return;
    rows_[static_cast<std::size_t>(row)] = rows_[static_cast<std::size_t>(row) + 1];
    if (row == 0)
        emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    else
        emit dataChanged(index(row - 1, 0), index(row - 1, ColumnCount - 1));
}

void ProfileTable::writeHeader() {
    for (int column = 0; column < ColumnCount; ++column)
        setCell(column, 0, kHeaders[static_cast<std::size_t>(column)]);
}

bool ProfileTable::isEmpty() const { return cell(ColType, 1).empty(); }

bool ProfileTable::firstRowFree() const {
    const std::string type = cell(ColType, 1);
    return type.empty() || type == "->";
}

int ProfileTable::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : RowCount() - 1;
}

int ProfileTable::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ProfileTable::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    // Names that are not valid UTF-8 are shown lossily; the cells keep their bytes.
    return QString::fromStdString(cell(index.column(), index.row() + 1));
}

QVariant ProfileTable::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return QString::fromStdString(cell(section, 0));
    return section + 1;
}

bool optionPrompt(const std::string& code) { return flagAt(code, 0, "AP"); }
bool optionOlderOnly(const std::string& code) { return flagAt(code, 2, "AO"); }
bool optionDatestamp(const std::string& code) { return flagAt(code, 4, "DF"); }

} // namespace qm
