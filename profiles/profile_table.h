#pragma once

#include <QAbstractTableModel>
#include <array>
#include <deque>
#include <string>

namespace qm {

/// Columns of a profile row.
enum ProfileColumn : int {
    ColType = 0,
    ColName = 1,
    ColSource = 2,
    ColTarget = 3,
    ColLastRun = 4,
    ColStatus = 5,
    ColOptions = 6,
};

/// The one table of profiles: 7 text columns, row 0 the header texts, RowCount() >= 2.
/// Cells hold bytes as they stand. As a Qt model it shows the data rows (1..RowCount()-1)
/// with row 0 as the horizontal header.
class ProfileTable : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ColumnCount = 7;
    using Row = std::array<std::string, ColumnCount>;

    explicit ProfileTable(QObject* parent = nullptr);

    int RowCount() const { return rowCount_; }
    /// Grows with empty rows or drops the last rows; never below 2.
    void setRowCount(int count);

    /// An unset cell (or one outside the table) reads as empty text.
    std::string cell(int column, int row) const;
    /// Writing outside the table does nothing.
    void setCell(int column, int row, const std::string& text);
    /// Row r takes a copy of row r + 1.
    void copyNextRowInto(int row);

    /// All seven cells of a row at once (empty cells outside the table).
    Row row(int row) const;
    /// Writes columns 0 to count - 1 of a row from `cells`; the other columns keep their text.
    void setLeadingCells(int row, const Row& cells, int count);

    /// While one lives, changes send no signal each: views are reset once at its end. For
    /// loading millions of rows in linear time.
    class Batch {
    public:
        explicit Batch(ProfileTable& table);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        ProfileTable& table_;
    };

    /// False after a load that did not read the whole profile file (a read error, a file
    /// that could not be opened, bytes after a Ctrl-Z, a line with text that lands in no
    /// cell): the next save keeps the file aside.
    bool fileReadWhole() const { return fileReadWhole_; }
    void setFileReadWhole(bool whole) { fileReadWhole_ = whole; }

    /// Writes the header texts into row 0.
    void writeHeader();

    /// No profile: the Type cell of row 1 is empty.
    bool isEmpty() const;
    /// Row 1 can take a new profile: its Type cell is empty or exactly "->".
    bool firstRowFree() const;

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    /// A save kept the profile file as it was on disk at `path` before replacing it.
    void unloadedFileKept(const std::string& path);

private:
    friend class Batch;
    struct Entry {
        int row;
        std::string packed;
    };
    /// The first entry of `row` or a later one.
    std::deque<Entry>::const_iterator firstFrom(int row) const;
    const Entry* find(int row) const;
    /// Tells the grid that cells of `row` changed (row 0 is the header); not in a batch.
    void announce(int row, int firstColumn, int lastColumn);

    Row unpack(int row) const;
    void pack(int row, const Row& cells);
    void dropRowsFrom(int row);

    int rowCount_ = 2;
    /// Only rows that ever held a non-empty cell, in row order, each packed as
    /// length-prefixed cells: a damaged profile file can name millions of rows, and memory
    /// must stay near the file's size. A deque grows without copying what it holds.
    std::deque<Entry> rows_;
    int batch_ = 0;
    bool fileReadWhole_ = true;
};

/// Option-code flags, read by their 1-based positions; set only on an exact match.
bool optionPrompt(const std::string& code);    ///< 1-2 "AP"
bool optionOlderOnly(const std::string& code); ///< 3-4 "AO"
bool optionDatestamp(const std::string& code); ///< 5-6 "DF"

} // namespace qm
