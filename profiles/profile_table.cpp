#include "profile_table.h"

#include <algorithm>

namespace qm {

namespace {

constexpr std::array<const char*, ProfileTable::ColumnCount> kHeaders = {
    "Type",     "Profile Name", "Source/Location", "Target/Destination",
    "Last Run", "Status",       "Options"};

bool flagAt(const std::string& code, std::size_t position, const char* flag) {
    return code.size() >= position + 2 && code.compare(position, 2, flag) == 0;
}

} // namespace

ProfileTable::ProfileTable(QObject* parent) : QAbstractTableModel(parent) {}

std::deque<ProfileTable::Entry>::const_iterator ProfileTable::firstFrom(int row) const {
    // Loading appends rows in order and asks for each before it exists: no search then.
    if (rows_.empty() || rows_.back().row < row)
        return rows_.end();
    return std::lower_bound(rows_.begin(), rows_.end(), row,
                            [](const Entry& entry, int r) { return entry.row < r; });
}

const ProfileTable::Entry* ProfileTable::find(int row) const {
    auto at = firstFrom(row);
    return at != rows_.end() && at->row == row ? &*at : nullptr;
}

void ProfileTable::announce(int row, int firstColumn, int lastColumn) {
    if (batch_ > 0)
        return;
    if (row == 0)
        emit headerDataChanged(Qt::Horizontal, firstColumn, lastColumn);
    else
        emit dataChanged(index(row - 1, firstColumn), index(row - 1, lastColumn));
}

ProfileTable::Row ProfileTable::unpack(int row) const {
    Row cells;
    const Entry* found = find(row);
    if (!found || found->packed.empty())
        return cells;
    const std::string& packed = found->packed;
    std::size_t at = 0;
    for (std::string& cell : cells) {
        // Each cell: its length in base 128, low groups first, then its bytes.
        std::size_t length = 0;
        for (int shift = 0;; shift += 7) {
            const auto byte = static_cast<unsigned char>(packed[at++]);
            length |= static_cast<std::size_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                break;
        }
        cell.assign(packed, at, length);
        at += length;
    }
    return cells;
}

void ProfileTable::pack(int row, const Row& cells) {
    std::size_t size = 0;
    std::size_t packedSize = 0;
    for (const std::string& cell : cells) {
        size += cell.size();
        packedSize += cell.size() + 1;
        for (std::size_t length = cell.size() >> 7; length; length >>= 7)
            ++packedSize;
    }
    auto at = rows_.begin() + (firstFrom(row) - rows_.cbegin());
    const bool present = at != rows_.end() && at->row == row;
    if (size == 0) {
        // An emptied row keeps its (empty) entry: erasing from the middle would make a
        // run of deletions quadratic.
        if (present)
            std::string().swap(at->packed);
        return;
    }
    std::string packed;
    packed.reserve(packedSize); // exact: a short row stays inside the string itself
    for (const std::string& cell : cells) {
        std::size_t length = cell.size();
        do {
            const auto group = static_cast<unsigned char>(length & 0x7f);
            length >>= 7;
            packed += static_cast<char>(length ? group | 0x80 : group);
        } while (length);
        packed += cell;
    }
    if (present)
        at->packed = std::move(packed);
    else
        rows_.insert(at, Entry{row, std::move(packed)});
}

void ProfileTable::setRowCount(int count) {
    count = std::max(count, 2);
    const int old = RowCount();
    if (count == old)
        return;
    if (batch_ > 0) {
        if (count < old)
            dropRowsFrom(count);
        rowCount_ = count;
        return;
    }
    // Qt rows are the data rows, one less than the table's rows.
    if (count > old) {
        beginInsertRows({}, old - 1, count - 2);
        rowCount_ = count;
        endInsertRows();
    } else {
        beginRemoveRows({}, count - 1, old - 2);
        dropRowsFrom(count);
        rowCount_ = count;
        endRemoveRows();
    }
}

void ProfileTable::dropRowsFrom(int row) {
    while (!rows_.empty() && rows_.back().row >= row)
        rows_.pop_back();
}

std::string ProfileTable::cell(int column, int row) const {
    if (column < 0 || column >= ColumnCount || row < 0 || row >= RowCount())
        return {};
    return unpack(row)[static_cast<std::size_t>(column)];
}

void ProfileTable::setCell(int column, int row, const std::string& text) {
    if (column < 0 || column >= ColumnCount || row < 0 || row >= RowCount())
        return;
    Row cells = unpack(row);
    cells[static_cast<std::size_t>(column)] = text;
    pack(row, cells);
    announce(row, column, column);
}

void ProfileTable::copyNextRowInto(int row) {
    if (row < 0 || row + 1 >= RowCount())
        return;
    pack(row, unpack(row + 1));
    announce(row, 0, ColumnCount - 1);
}

ProfileTable::Row ProfileTable::row(int row) const {
    if (row < 0 || row >= RowCount())
        return {};
    return unpack(row);
}

void ProfileTable::setLeadingCells(int row, const Row& cells, int count) {
    if (row < 0 || row >= RowCount() || count <= 0)
        return;
    count = std::min(count, ColumnCount);
    Row merged = count < ColumnCount ? unpack(row) : Row{};
    for (int column = 0; column < count; ++column)
        merged[static_cast<std::size_t>(column)] = cells[static_cast<std::size_t>(column)];
    pack(row, merged);
    announce(row, 0, count - 1);
}

ProfileTable::Batch::Batch(ProfileTable& table) : table_(table) {
    if (table_.batch_++ == 0)
        table_.beginResetModel();
}

ProfileTable::Batch::~Batch() {
    if (--table_.batch_ == 0) {
        table_.endResetModel();
        emit table_.headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    }
}

void ProfileTable::writeHeader() {
    for (int column = 0; column < ColumnCount; ++column)
        setCell(column, 0, kHeaders[static_cast<std::size_t>(column)]);
}

bool ProfileTable::isEmpty() const {
    return cell(ColType, 1).empty();
}

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

bool optionPrompt(const std::string& code) {
    return flagAt(code, 0, "AP");
}
bool optionOlderOnly(const std::string& code) {
    return flagAt(code, 2, "AO");
}
bool optionDatestamp(const std::string& code) {
    return flagAt(code, 4, "DF");
}

} // namespace qm
