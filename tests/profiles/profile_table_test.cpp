#include "profile_table.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace qm;

TEST(ProfileTable, StartsWithOneEmptyDataRowAndNeverShrinksBelowTwo) {
    ProfileTable table;
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.rowCount(), 1);
    table.setRowCount(0);
    EXPECT_EQ(table.RowCount(), 2);
    table.setRowCount(5);
    EXPECT_EQ(table.rowCount(), 4);
    table.setCell(ColName, 4, "last");
    table.setRowCount(4);
    EXPECT_EQ(table.cell(ColName, 4), "");
    table.setRowCount(5);
    EXPECT_EQ(table.cell(ColName, 4), "") << "a regrown row starts empty";
}

TEST(ProfileTable, CellsOutsideTheTableReadEmptyAndIgnoreWrites) {
    ProfileTable table;
    table.setCell(7, 1, "x");
    table.setCell(0, 2, "x");
    table.setCell(-1, 1, "x");
    EXPECT_EQ(table.cell(7, 1), "");
    EXPECT_EQ(table.cell(0, 2), "");
    EXPECT_EQ(table.RowCount(), 2);
}

TEST(ProfileTable, EmptyAndFreeFirstRow) {
    ProfileTable table;
    EXPECT_TRUE(table.isEmpty());
    EXPECT_TRUE(table.firstRowFree());
    table.setCell(ColType, 1, "->");
    EXPECT_FALSE(table.isEmpty()) << "a saved empty row no longer counts as empty";
    EXPECT_TRUE(table.firstRowFree()) << "but a new profile still goes into it";
    table.setCell(ColType, 1, "Syncro");
    EXPECT_FALSE(table.firstRowFree());
}

TEST(ProfileTable, CopyNextRowInto) {
    ProfileTable table;
    table.setRowCount(3);
    for (int c = 0; c < ProfileTable::ColumnCount; ++c)
        table.setCell(c, 2, "b" + std::to_string(c));
    table.copyNextRowInto(1);
    for (int c = 0; c < ProfileTable::ColumnCount; ++c)
        EXPECT_EQ(table.cell(c, 1), "b" + std::to_string(c));
    table.copyNextRowInto(2); // no row 3: nothing happens
    EXPECT_EQ(table.cell(0, 2), "b0");
}

TEST(ProfileTable, ModelShowsDataRowsWithRowZeroAsHeader) {
    ProfileTable table;
    table.writeHeader();
    table.setCell(ColName, 1, "Daily");
    EXPECT_EQ(table.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Profile Name");
    EXPECT_EQ(table.headerData(6, Qt::Horizontal, Qt::DisplayRole).toString(), "Options");
    EXPECT_EQ(table.data(table.index(0, 1), Qt::DisplayRole).toString(), "Daily");

    QSignalSpy changed(&table, &QAbstractItemModel::dataChanged);
    table.setCell(ColStatus, 1, "Busy");
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toModelIndex(), table.index(0, ColStatus));
}

TEST(OptionCode, FlagsCountOnlyOnExactMatchAtTheirPosition) {
    EXPECT_TRUE(optionPrompt("APAODF"));
    EXPECT_TRUE(optionOlderOnly("APAODF"));
    EXPECT_TRUE(optionDatestamp("APAODF"));
    EXPECT_FALSE(optionPrompt("NPAODN"));
    EXPECT_FALSE(optionDatestamp("NPAODN"));
    EXPECT_FALSE(optionPrompt("ap"));
    EXPECT_FALSE(optionOlderOnly("NPXXDF"));
    // A short code reads as NP, no AO, DN.
    EXPECT_FALSE(optionPrompt("A"));
    EXPECT_FALSE(optionOlderOnly("NPA"));
    EXPECT_FALSE(optionDatestamp("NPAOD"));
    EXPECT_FALSE(optionDatestamp(""));
}
