#include "as_nobody.h"
#include "file_bytes.h"
#include "io_error.h"
#include "profile_file.h"
#include "profile_table.h"
#include "temp_folder.h"
#include "text_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    void write(const std::string& bytes) const { writeFile(path, bytes); }
    std::string read() const { return readFile(path); }
    void load(ProfileTable& table, const std::string& bytes) {
        write(bytes);
        LoadProfiles(table, folder);
    }
    static std::vector<std::string> row(const ProfileTable& table, int r) {
        std::vector<std::string> cells;
        for (int c = 0; c < ProfileTable::ColumnCount; ++c)
            cells.push_back(table.cell(c, r));
        return cells;
    }

    TempFolder temp{"profiles"};
    std::string folder = temp.path();
    std::string path = folder + "/quillmark.txt";
};

using Cells = std::vector<std::string>;

} // namespace

TEST_F(ProfileFileTest, MissingFileGivesAnEmptyTableAndLeavesAnEmptyFile) {
    ProfileTable table;
    LoadProfiles(table, folder);
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.cell(ColType, 0), "Type");
    EXPECT_EQ(table.cell(ColTarget, 0), "Target/Destination");
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(fs::file_size(path), 0u);
}

TEST_F(ProfileFileTest, ReadsTheDocumentedLine) {
    ProfileTable table;
    load(table, "BackUP->Daily->/home/u/Work->/media/Store->NEVER->Pending->NPAODF->\r\n");
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_EQ(row(table, 1), (Cells{"BackUP", "Daily", "/home/u/Work", "/media/Store", "NEVER",
                                    "Pending", "NPAODF"}));
}

TEST_F(ProfileFileTest, LineEndsCtrlZAndLoneCarriageReturns) {
    // LF alone ends a line too; a lone CR vanishes; Ctrl-Z ends the file.
    ProfileTable table;
    load(table, "A->x\ry->\nB->z->\r\nC->\x1a"
                "D->\r\n");
    EXPECT_EQ(table.RowCount(), 4);
    EXPECT_EQ(table.cell(0, 1), "A");
    EXPECT_EQ(table.cell(1, 1), "xy");
    EXPECT_EQ(table.cell(1, 2), "z");
    EXPECT_EQ(table.cell(0, 3), "C");
    EXPECT_EQ(table.cell(0, 4), "");
}

TEST_F(ProfileFileTest, EmptyLineKeepsAnEmptyRowBetween) {
    ProfileTable table;
    load(table, "A->1->\r\n\r\nB->2->\r\n");
    EXPECT_EQ(table.RowCount(), 4);
    EXPECT_EQ(table.cell(0, 1), "A");
    EXPECT_EQ(row(table, 2), Cells(7));
    EXPECT_EQ(table.cell(0, 3), "B");
    EXPECT_EQ(table.cell(1, 3), "2");
}

TEST_F(ProfileFileTest, ShortAndLongLinesAndDelimitersInsideCells) {
    ProfileTable table;
    load(table, "Syncro->Short->\r\n"
                "1->2->3->4->5->6->7->8->9->\r\n"
                "BackUP->A->B->C->/src->/dst->NEVER->Pending->NPAODN->\r\n"
                "Dash-->Name-->x->\r\n"
                "X->->Y->\r\n");
    EXPECT_EQ(row(table, 1), (Cells{"Syncro", "Short", "", "", "", "", ""}));
    EXPECT_EQ(row(table, 2), (Cells{"1", "2", "3", "4", "5", "6", "7"}));
    // "A->B" as a name splits there: everything after it shifts right, the surplus is dropped.
    EXPECT_EQ(row(table, 3), (Cells{"BackUP", "A", "B", "C", "/src", "/dst", "NEVER"}));
    // A cell ending in "-" reads back unchanged.
    EXPECT_EQ(row(table, 4), (Cells{"Dash-", "Name-", "x", "", "", "", ""}));
    EXPECT_EQ(row(table, 5), (Cells{"X", "", "Y", "", "", "", ""}));
}

TEST_F(ProfileFileTest, TextWithoutAnyDelimiterAddsNoRow) {
    ProfileTable table;
    load(table, "no delimiter here\r\n");
    EXPECT_EQ(table.RowCount(), 2);
    EXPECT_TRUE(table.isEmpty());
}

TEST_F(ProfileFileTest, SavedEmptyRowReadsBackAsArrowInType) {
    ProfileTable table;
    SaveProfiles(table, folder);
    EXPECT_EQ(read(), "->->->->->->->\r\n");

    ProfileTable loaded;
    LoadProfiles(loaded, folder);
    EXPECT_EQ(loaded.cell(ColType, 1), "->");
    for (int c = 1; c < ProfileTable::ColumnCount; ++c)
        EXPECT_EQ(loaded.cell(c, 1), "") << "column " << c;
    EXPECT_FALSE(loaded.isEmpty());
    EXPECT_TRUE(loaded.firstRowFree());
}

TEST_F(ProfileFileTest, EmptyTypeCellShiftsTheRowLeftOnReload) {
    ProfileTable table;
    table.setCell(ColName, 1, "Name");
    table.setCell(ColSource, 1, "/src");
    SaveProfiles(table, folder);
    EXPECT_EQ(read(), "->Name->/src->->->->->\r\n");
    ProfileTable loaded;
    LoadProfiles(loaded, folder);
    EXPECT_EQ(row(loaded, 1), (Cells{"->Name", "/src", "", "", "", "", ""}));
}

TEST_F(ProfileFileTest, SaveWritesEveryDataRowWithCrLf) {
    ProfileTable table;
    table.setRowCount(3);
    const Cells first{"BackUP", "Daily", "/w", "/s", "NEVER", "Pending", "NPAODF"};
    const Cells second{"Syncro", "Two", "/a b", "/c\xff", "7.12.2026 15:05:08", "Done", "APAODN"};
    for (int c = 0; c < 7; ++c) {
        table.setCell(c, 1, first[static_cast<size_t>(c)]);
        table.setCell(c, 2, second[static_cast<size_t>(c)]);
    }
    SaveProfiles(table, folder);
    EXPECT_EQ(read(), "BackUP->Daily->/w->/s->NEVER->Pending->NPAODF->\r\n"
                      "Syncro->Two->/a b->/c\xff->7.12.2026 15:05:08->Done->APAODN->\r\n");
}

TEST_F(ProfileFileTest, UntouchedFileRoundTripsByteForByte) {
    const std::string original =
        "BackUP->Daily->/home/u/Work->/media/Store->NEVER->Pending->NPAODF->\r\n"
        "Syncro->Dash-->/x->/y->12/7/2026 3:05:08 PM->Done->APAODN->\r\n"
        "BackUP->\xc3\xa9t\xe9->/\x01raw->/t->NEVER->ERROR->NPAODN->\r\n";
    ProfileTable table;
    load(table, original);
    SaveProfiles(table, folder);
    EXPECT_EQ(read(), original);
}

TEST_F(ProfileFileTest, FailedSaveLeavesThePreviousFileInPlace) {
    const std::string original = "BackUP->Keep->/a->/b->NEVER->Pending->NPAODN->\r\n";
    ProfileTable table;
    load(table, original);
    table.setCell(ColName, 1, "Changed");

    // Root ignores permissions, so the failing save runs as an unprivileged user.
    ASSERT_TRUE(chownTree(folder));
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0); // no new files beside the profile file
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);   // and none written in place
    const int status = runAsNobody([&] {
        try {
            SaveProfiles(table, folder);
        } catch (const IoError& error) {
            return error.code() == 5 ? 0 : 4;
        }
        return 5;
    });
    EXPECT_EQ(status, 0) << "expected the save to raise \"File access denied\"";
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(read(), original);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 1)
        << "no temporary left behind";
}

TEST_F(ProfileFileTest, SaveIntoMissingFolderRaises) {
    ProfileTable table;
    EXPECT_THROW(SaveProfiles(table, folder + "/gone"), IoError);
}

TEST_F(ProfileFileTest, UnreadableFileIsNeverTruncated) {
    const std::string original = "BackUP->Keep->/a->/b->NEVER->Pending->NPAODN->\r\n";
    write(original);
    // Writable but not readable: opening it for writing would succeed and could truncate it.
    ASSERT_TRUE(chownTree(folder));
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    const int status = runAsNobody([&] {
        ProfileTable table;
        try {
            LoadProfiles(table, folder);
        } catch (const RuntimeError&) {
            return table.isEmpty() ? 0 : 4;
        }
        return table.isEmpty() ? 0 : 4;
    });
    EXPECT_EQ(status, 0);
    chmod(path.c_str(), 0644);
    EXPECT_EQ(read(), original);
}

namespace {

int goodReads = 0;

/// Reads normally `goodReads` times, then fails as a dying disk does.
ssize_t dyingDisk(int fd, void* buffer, std::size_t count) {
    if (goodReads-- > 0)
        return ::read(fd, buffer, count);
    errno = EIO;
    return -1;
}

std::string profileName(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "P%05d", i);
    return name;
}

/// Profiles "P00000" ... of about 60 bytes a line: 2 000 of them fill two read blocks.
std::string manyProfiles(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += "BackUP->" + profileName(i) + "->/src/a->/dst/b->NEVER->Pending->NPAODN->\r\n";
    return bytes;
}

/// Loads with the disk failing after the first read block; true when the load raised
/// the I/O error 1117.
bool loadFromDyingDisk(ProfileTable& table, const std::string& folder) {
    goodReads = 1;
    setReadHook(dyingDisk);
    bool raised = false;
    try {
        LoadProfiles(table, folder);
    } catch (const IoError& error) {
        raised = error.code() == 1117;
    }
    setReadHook(nullptr);
    return raised;
}

} // namespace

TEST_F(ProfileFileTest, ReadErrorKeepsTheRowsReadAndTheFirstSaveKeepsTheFileAside) {
    const std::string original = manyProfiles(2000);
    write(original);
    ProfileTable table;
    std::vector<std::string> kept;
    QObject::connect(&table, &ProfileTable::unloadedFileKept,
                     [&](const std::string& at) { kept.push_back(at); });
    ASSERT_TRUE(loadFromDyingDisk(table, folder));
    // The rows of the first block are there, in order; the rest never came.
    const int rows = table.RowCount() - 1;
    EXPECT_GT(rows, 100);
    EXPECT_LT(rows, 2000);
    for (int r = 1; r <= rows; ++r)
        ASSERT_EQ(table.cell(ColName, r), profileName(r - 1)) << "row " << r;
    EXPECT_EQ(table.cell(ColOptions, rows), "NPAODN");

    SaveProfiles(table, folder);
    ASSERT_EQ(kept, std::vector<std::string>{path + ".unloaded"});
    EXPECT_EQ(read() + original.substr(read().size()), original) << "what was saved is a prefix";
    EXPECT_EQ(readFile(path + ".unloaded"), original);
    // One copy for one load: the next save just saves.
    SaveProfiles(table, folder);
    EXPECT_EQ(kept.size(), 1u);

    // Another failing load of the shortened file: its copy goes under a new name.
    const std::string shortened = read();
    ProfileTable again;
    QObject::connect(&again, &ProfileTable::unloadedFileKept,
                     [&](const std::string& at) { kept.push_back(at); });
    ASSERT_TRUE(loadFromDyingDisk(again, folder));
    SaveProfiles(again, folder);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1], path + ".unloaded.2");
    EXPECT_EQ(readFile(path + ".unloaded"), original) << "the first copy is never overwritten";
    EXPECT_EQ(readFile(path + ".unloaded.2"), shortened);
}

TEST_F(ProfileFileTest, TextHiddenAfterCtrlZIsKeptAsideBeforeTheFirstSave) {
    const std::string original = "BackUP->Seen->/a->/b->NEVER->Pending->NPAODN->\r\n\x1a"
                                 "BackUP->Hidden->/c->/d->NEVER->Pending->NPAODN->\r\n";
    ProfileTable table;
    load(table, original);
    EXPECT_EQ(table.RowCount(), 2);
    SaveProfiles(table, folder);
    EXPECT_EQ(read(), "BackUP->Seen->/a->/b->NEVER->Pending->NPAODN->\r\n");
    EXPECT_EQ(readFile(path + ".unloaded"), original);

    // A file that was read whole is saved without a copy.
    ProfileTable whole;
    LoadProfiles(whole, folder);
    SaveProfiles(whole, folder);
    EXPECT_FALSE(fs::exists(path + ".unloaded.2"));
}

TEST_F(ProfileFileTest, PermissionsAsAnUnprivilegedUser) {
    const std::string original = "BackUP->Keep->/a->/b->NEVER->Pending->NPAODN->\r\n";
    write(original);
    ASSERT_TRUE(chownTree(folder));

    // Unreadable: the load says so, and no save replaces the file.
    ASSERT_EQ(chmod(path.c_str(), 0000), 0);
    int status = runAsNobody([&] {
        ProfileTable table;
        try {
            LoadProfiles(table, folder);
            return 1;
        } catch (const IoError& error) {
            if (error.code() != 5 || error.path() != path) // the box names the file
                return 2;
        }
        table.setCell(ColName, 1, "Lost?");
        try {
            SaveProfiles(table, folder);
            return 3;
        } catch (const IoError& error) {
            return error.code() == 5 ? 0 : 4;
        }
    });
    EXPECT_EQ(status, 0);
    chmod(path.c_str(), 0644);
    EXPECT_EQ(read(), original);

    // Read-only in a writable folder: loads, but no save replaces it.
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    status = runAsNobody([&] {
        ProfileTable table;
        LoadProfiles(table, folder);
        if (table.cell(ColName, 1) != "Keep")
            return 1;
        table.setCell(ColName, 1, "Changed");
        try {
            SaveProfiles(table, folder);
            return 2;
        } catch (const IoError& error) {
            return std::string(error.what()) == "File access denied" ? 0 : 3;
        }
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read(), original);

    // A read-only start folder with a writable file: saved in place, mode kept.
    ASSERT_EQ(chmod(path.c_str(), 0620), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    status = runAsNobody([&] {
        ProfileTable table;
        table.setCell(ColType, 1, "Syncro");
        table.setCell(ColName, 1, "Edited");
        SaveProfiles(table, folder);
        return 0;
    });
    chmod(folder.c_str(), 0755);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read(), "Syncro->Edited->->->->->->\r\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0620u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 1);
}

TEST_F(ProfileFileTest, LinkedProfileFileIsReadAndWrittenThrough) {
    fs::create_directory(folder + "/dotfiles");
    const std::string real = folder + "/dotfiles/quillmark.txt";
    writeFile(real, "BackUP->Linked->/a->/b->NEVER->Pending->NPAODN->\r\n");
    fs::create_symlink("dotfiles/quillmark.txt", path);
    ProfileTable table;
    LoadProfiles(table, folder);
    EXPECT_EQ(table.cell(ColName, 1), "Linked");
    table.setCell(ColName, 1, "Saved");
    SaveProfiles(table, folder);
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(readFile(real), "BackUP->Saved->/a->/b->NEVER->Pending->NPAODN->\r\n");

    // A dangling link: loading creates the file where it points, saving fills it.
    fs::remove(path);
    fs::create_symlink("dotfiles/fresh.txt", path);
    ProfileTable fresh;
    LoadProfiles(fresh, folder);
    EXPECT_TRUE(fresh.isEmpty());
    EXPECT_TRUE(fs::exists(folder + "/dotfiles/fresh.txt"));
    fresh.setCell(ColType, 1, "BackUP");
    SaveProfiles(fresh, folder);
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(readFile(folder + "/dotfiles/fresh.txt"), "BackUP->->->->->->->\r\n");
}

TEST_F(ProfileFileTest, FifoInPlaceOfTheFileNeitherHangsNorIsSavedOver) {
    // A blocking open would hang the load; the alarm fails the test instead.
    alarm(30);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    ProfileTable table;
    try {
        LoadProfiles(table, folder);
        ADD_FAILURE() << "no error";
    } catch (const IoError& error) {
        EXPECT_NE(std::string(error.what()).find("FIFO"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(table.isEmpty());
    table.setCell(ColType, 1, "BackUP");
    EXPECT_THROW(SaveProfiles(table, folder), IoError);
    EXPECT_THROW(SaveProfiles(table, folder), IoError);
    alarm(0);
    EXPECT_TRUE(fs::is_fifo(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 1);
}

TEST_F(ProfileFileTest, TextThatIsNoProfileTableIsKeptAsideAtTheFirstSave) {
    const std::string table = "BackUP->Real->/a->/b->NEVER->Pending->NPAODN->\r\n";
    const struct {
        std::string bytes;
        bool kept;
    } cases[] = {
        {"Notes for Monday\r\nbuy milk\r\n", true},
        {"if (p->next)\n    p->next->prev = p;\n", true}, // arrows, text after the last
        {"->\r\n", true},
        {"BackUP->Daily->/a->/b->NEVER->Pending->NPAODF\r\n", true},
        {table + "\r\nthe NAS is on Tuesdays\r\n", true},
        // a real table with odd cells, as loading has always read it
        {table + "\r\n  \r\nSyncro->Short->\n1->2->3->4->5->6->7->8->9->\r\n", false},
        {"Dash-->Name-->x->\r\nX->->Y->\r\n->->->->->->->\r\nA->x\ry-> \r\n", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        fs::remove(path + ".unloaded");
        ProfileTable loaded;
        std::vector<std::string> kept;
        QObject::connect(&loaded, &ProfileTable::unloadedFileKept,
                         [&](const std::string& at) { kept.push_back(at); });
        load(loaded, c.bytes);
        SaveProfiles(loaded, folder);
        SaveProfiles(loaded, folder);
        EXPECT_EQ(kept, c.kept ? std::vector<std::string>{path + ".unloaded"}
                               : std::vector<std::string>{});
        EXPECT_EQ(readFile(path + ".unloaded"), c.kept ? c.bytes : "");
    }
    // through a link: kept beside the file it points to
    writeFile(folder + "/notes.txt", "my notes\n");
    fs::remove(path);
    fs::create_symlink("notes.txt", path);
    ProfileTable linked;
    LoadProfiles(linked, folder);
    SaveProfiles(linked, folder);
    EXPECT_EQ(readFile(folder + "/notes.txt.unloaded"), "my notes\n");
}
