#include "text_file.h"
#include "window_fixture.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using namespace qm;

TEST_F(WindowTest, NameNeedsTwoCharactersAndTakesAtMostTwentyFour) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    f.Button6->click();
    EXPECT_EQ(f.Label26->text(), "Create new Backup / Syncronize profile");
    EXPECT_FALSE(f.Button15->isEnabled());
    QTest::keyClicks(f.Edit4, "a");
    EXPECT_FALSE(f.Button15->isEnabled());
    QTest::keyClicks(f.Edit4, "b");
    EXPECT_TRUE(f.Button15->isEnabled());
    QTest::keyClicks(f.Edit4, "cdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(f.Edit4->text(), "abcdefghijklmnopqrstuvwx");
    f.Edit4->setText("z");
    EXPECT_FALSE(f.Button15->isEnabled());
}

TEST_F(WindowTest, ModeKeepsTheDatestampOptionInStep) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    f.Button6->click();
    f.CheckBox5->setChecked(true);
    f.RadioButton2->click();
    EXPECT_FALSE(f.CheckBox5->isEnabled());
    EXPECT_FALSE(f.CheckBox5->isChecked());
    f.RadioButton1->click();
    EXPECT_TRUE(f.CheckBox5->isEnabled());
    EXPECT_FALSE(f.CheckBox5->isChecked());
    EXPECT_FALSE(f.RadioButton2->isChecked());
    f.RadioButton1->click(); // clicking the checked one changes nothing
    EXPECT_TRUE(f.RadioButton1->isChecked());

    // New Profile keeps the mode that was last shown.
    f.RadioButton2->click();
    f.Button4->click();
    f.Button6->click();
    EXPECT_TRUE(f.RadioButton2->isChecked());
    EXPECT_FALSE(f.CheckBox5->isEnabled());
}

TEST_F(WindowTest, EditingASyncProfileWithDatestampShowsItCheckedButDisabled) {
    writeProfiles({"Syncro->Odd->/a->/b->NEVER->Pending->APAODF->"});
    TForm1& f = startOnList();
    f.Button5->click();
    EXPECT_EQ(f.editFlag, 1);
    EXPECT_EQ(f.Label26->text(), "Edit current Backup / Syncronize profile");
    EXPECT_TRUE(f.RadioButton2->isChecked());
    EXPECT_TRUE(f.CheckBox3->isChecked());
    EXPECT_TRUE(f.CheckBox5->isChecked());
    EXPECT_FALSE(f.CheckBox5->isEnabled());
    f.Button15->click();
    EXPECT_EQ(cell(ColOptions, 1), "APAODF");
}

TEST_F(WindowTest, SaveUsesTheFreeFirstRow) {
    writeProfiles({"->->->->->->->"}); // an empty row, saved and loaded
    TForm1& f = startOnList();
    EXPECT_EQ(page(), "list"); // "->" does not count as empty
    f.Button6->click();
    QTest::keyClicks(f.Edit4, "Daily");
    shell().documents = "/home/tester/Documents";
    f.automydocs->click();
    shell().folderChoices = {std::string("/dst/store")};
    f.Button2->click();
    f.CheckBox5->setChecked(true);
    f.Button15->click();
    EXPECT_EQ(page(), "list");
    EXPECT_EQ(f.table().RowCount(), 2);
    EXPECT_EQ(readProfiles(),
              "BackUP->Daily->/home/tester/Documents->/dst/store->NEVER->Pending->NPAODF->\r\n");
}

TEST_F(WindowTest, SaveOnAnEmptyTableWritesRowOneAndOtherwiseAppends) {
    TForm1& f = startOnList();
    QTest::keyClicks(f.Edit4, "First");
    f.Button15->click();
    EXPECT_EQ(f.table().RowCount(), 2);
    EXPECT_EQ(cell(ColName, 1), "First");
    EXPECT_EQ(f.state().SelectedRow, 1);

    f.Button6->click();
    QTest::keyClicks(f.Edit4, "Second");
    f.RadioButton2->click();
    f.CheckBox3->setChecked(true);
    f.Button15->click();
    EXPECT_EQ(f.table().RowCount(), 3);
    EXPECT_EQ(readProfiles(), "BackUP->First->->->NEVER->Pending->NPAODN->\r\n"
                              "Syncro->Second->->->NEVER->Pending->APAODN->\r\n");
    EXPECT_EQ(f.Label20->text(), "Profile : "); // Save leaves the details alone
}

TEST_F(WindowTest, SavingAnEditedProfileResetsItsRunState) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    clickRow(2);
    f.Button5->click();
    f.Button15->click(); // nothing changed on the page
    EXPECT_EQ(f.table().RowCount(), 3);
    EXPECT_EQ(cell(ColLastRun, 2), "NEVER");
    EXPECT_EQ(cell(ColStatus, 2), "Pending");
    EXPECT_EQ(readProfiles(), std::string(kDaily) +
                                  "\r\nSyncro->Photos->/src/pictures->/dst/pictures->NEVER->"
                                  "Pending->APAODN->\r\n");
}

TEST_F(WindowTest, SaveRefusesTheFieldSeparatorAndWritesNothing) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    f.Button6->click();
    QTest::keyClicks(f.Edit4, "A->B");
    f.Button15->click();
    ASSERT_EQ(shell().messages.size(), 1u);
    EXPECT_EQ(shell().messages[0].kind, DialogKind::Error);
    EXPECT_NE(shell().messages[0].text.find("\"->\""), std::string::npos);
    EXPECT_EQ(page(), "editor");
    EXPECT_EQ(f.table().RowCount(), 2);
    EXPECT_EQ(readProfiles(), std::string(kDaily) + "\r\n");

    f.Edit4->setText("Fine");
    shell().folderChoices = {std::string("/media/x->y")};
    f.Button18->click();
    f.Button15->click();
    EXPECT_EQ(shell().messages.size(), 2u);
    EXPECT_EQ(readProfiles(), std::string(kDaily) + "\r\n");
}

TEST_F(WindowTest, CancelReturnsToTheListOrToWelcomeOnAnEmptyTable) {
    TForm1& f = startOnList();
    ASSERT_EQ(page(), "editor");
    QTest::keyClicks(f.Edit4, "Draft");
    f.Button4->click();
    EXPECT_EQ(page(), "welcome");
    EXPECT_EQ(f.Edit4->text(), "Draft");

    f.BitBtn2->click();
    f.Button15->click();
    f.Button6->click();
    f.Button4->click();
    EXPECT_EQ(page(), "list");
}

TEST_F(WindowTest, AutoLocateFillsTheSourceFromKnownFolders) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    f.Button6->click();
    shell().desktop = "/home/tester/Schreibtisch";
    shell().home = "/home/tester";
    f.autodesktop->click();
    EXPECT_EQ(f.Edit1->text(), "/home/tester/Schreibtisch");
    f.autoemail->click(); // the home folder, whatever the desktop folder is called
    EXPECT_EQ(f.Edit1->text(), "/home/tester");
    f.automydocs->click();
    EXPECT_EQ(f.Edit1->text(), "No Document Folder found.");
    shell().desktop.reset();
    f.autodesktop->click();
    EXPECT_EQ(f.Edit1->text(), "No Desktop Folder found.");
    EXPECT_TRUE(f.Edit2->text().isEmpty());
    EXPECT_TRUE(shell().chooserStarts.empty());
}

TEST_F(WindowTest, BrowseStartsOnTheEditOrReportsAFolderThatCannotBeEntered) {
    writeProfiles({"BackUP->Daily->/no/such/folder->" + root + "->NEVER->Pending->NPAODN->"});
    TForm1& f = startOnList();
    f.Button5->click();

    f.Button18->click(); // cancelled
    ASSERT_EQ(shell().messages.size(), 1u);
    EXPECT_EQ(shell().messages[0].text,
              "Source/Location drive and folder cannot be accessed..!\r\rPlease check the "
              "drive/folder and ensure it is accessible!");
    EXPECT_EQ(shell().messages[0].kind, DialogKind::Error);
    EXPECT_EQ(shell().chooserStarts.back(), root); // the start folder instead
    EXPECT_EQ(f.Edit1->text(), "/no/such/folder");

    shell().folderChoices = {std::string("/chosen")};
    f.Button2->click();
    EXPECT_EQ(shell().messages.size(), 1u);
    EXPECT_EQ(shell().chooserStarts.back(), root);
    EXPECT_EQ(f.Edit2->text(), "/chosen");
}

TEST_F(WindowTest, PathBytesThatAreNotUtf8SurviveAnEdit) {
    const std::string odd = "/src/caf\xe9";
    writeProfiles({"BackUP->Cafe->" + odd + "->/dst->NEVER->Pending->NPAODN->"});
    TForm1& f = startOnList();
    f.Button5->click();
    f.Button15->click();
    EXPECT_EQ(cell(ColSource, 1), odd);
}

TEST_F(WindowTest, SaveRefusesCtrlZInTheNameAndTheFolders) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    // Browse on a path that does not exist adds its own box: count only the refusals.
    const auto refusals = [] {
        return std::count_if(shell().messages.begin(), shell().messages.end(), [](const auto& m) {
            return m.kind == DialogKind::Error && m.text.find("Ctrl-Z") != std::string::npos;
        });
    };
    f.Button6->click();
    f.Edit4->setText(QString::fromLatin1("Cut\x1a"
                                         "here"));
    f.Button15->click();
    EXPECT_EQ(refusals(), 1);
    EXPECT_EQ(page(), "editor");

    f.Edit4->setText("Fine");
    shell().folderChoices = {std::string("/media/a\x1a"
                                         "b")};
    f.Button18->click();
    f.Button15->click();
    EXPECT_EQ(refusals(), 2);
    shell().folderChoices = {std::string("/media/a"), std::string("/media/t\x1a")};
    f.Button18->click();
    f.Button2->click();
    f.Button15->click();
    EXPECT_EQ(refusals(), 3);
    EXPECT_EQ(page(), "editor");
    EXPECT_EQ(f.table().RowCount(), 2);
    EXPECT_EQ(readProfiles(), std::string(kDaily) + "\r\n");
}

TEST_F(WindowTest, FirstSaveAfterAPartialLoadTellsWhereTheOldFileIsKept) {
    const std::string original = std::string(kDaily) + "\r\n\x1a" + kPhotos + "\r\n";
    qm::test::writeFile(profileFile(), original);
    TForm1& f = startOnList();
    EXPECT_EQ(f.table().RowCount(), 2);
    f.Button5->click();
    f.Button15->click();
    ASSERT_EQ(shell().messages.size(), 1u);
    EXPECT_EQ(shell().messages[0].kind, DialogKind::Warning);
    EXPECT_NE(shell().messages[0].text.find(profileFile() + ".unloaded"), std::string::npos)
        << shell().messages[0].text;
    EXPECT_EQ(qm::test::readFile(profileFile() + ".unloaded"), original);
    EXPECT_EQ(readProfiles(), std::string(kDaily) + "\r\n");

    f.Button5->click();
    f.Button15->click(); // the file was written whole since: no second copy, no message
    EXPECT_EQ(shell().messages.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(profileFile() + ".unloaded.2"));
}

namespace {

int readsLeft = 0;

ssize_t diskDiesAfterOneRead(int fd, void* buffer, std::size_t count) {
    if (readsLeft-- > 0)
        return ::read(fd, buffer, count);
    errno = EIO;
    return -1;
}

} // namespace

TEST_F(WindowTest, ReadErrorAtStartUpShowsTheErrorAndStartsOnTheRowsRead) {
    std::vector<std::string> lines;
    for (int i = 0; i < 2000; ++i) // several read blocks
        lines.push_back("BackUP->P" + std::to_string(i) + "->/src->/dst->NEVER->Pending->NPAODN->");
    writeProfiles(lines);
    const std::string original = readProfiles();
    readsLeft = 1;
    setReadHook(diskDiesAfterOneRead);
    TForm1& f = start();
    setReadHook(nullptr);
    ASSERT_EQ(shell().topLevelErrors.size(), 1u);
    EXPECT_EQ(shell().topLevelErrors[0].rfind("I/O error 1117", 0), 0u)
        << shell().topLevelErrors[0];
    EXPECT_GT(f.table().RowCount(), 100);
    EXPECT_LT(f.table().RowCount(), 2001);
    EXPECT_EQ(f.state().SelectedRow, 1);
    EXPECT_EQ(f.Label20->text(), "Profile : P0");

    // Editing the selected profile edits row 1, and the file as it was is kept first.
    f.BitBtn2->click();
    f.Button5->click();
    EXPECT_EQ(f.Edit4->text(), "P0");
    f.Edit4->setText("First");
    f.Button15->click();
    EXPECT_EQ(cell(ColName, 1), "First");
    EXPECT_EQ(cell(ColName, 0), "Profile Name");
    ASSERT_EQ(shell().messages.size(), 1u);
    EXPECT_NE(shell().messages[0].text.find(profileFile() + ".unloaded"), std::string::npos);
    EXPECT_EQ(qm::test::readFile(profileFile() + ".unloaded"), original);
}

TEST_F(WindowTest, FifoAsProfileFileIsReportedAndNeverSavedOver) {
    ::alarm(30); // a blocking open would hang the start-up: fail instead
    ASSERT_EQ(::mkfifo(profileFile().c_str(), 0644), 0);
    TForm1& f = startOnList();
    ASSERT_EQ(shell().topLevelErrors.size(), 1u);
    EXPECT_NE(shell().topLevelErrors[0].find("FIFO"), std::string::npos);
    EXPECT_NE(shell().topLevelErrors[0].find(profileFile()), std::string::npos);
    EXPECT_EQ(page(), "editor"); // an empty table
    f.Edit4->setText("New");
    f.Button15->click();
    ::alarm(0);
    EXPECT_EQ(shell().topLevelErrors.size(), 2u);
    EXPECT_TRUE(std::filesystem::is_fifo(profileFile()));
}
