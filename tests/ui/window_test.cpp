#include "window_fixture.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <sys/stat.h>

using namespace qm;

namespace {

/// Object names of the focus stops that Tab walks from the focused control, `count` steps.
std::vector<std::string> tabWalk(QWidget* first, int count) {
    std::vector<std::string> names;
    first->setFocus(Qt::TabFocusReason);
    for (int step = 0; step < count; ++step) {
        QWidget* focused = QApplication::focusWidget();
        names.push_back(focused ? focused->objectName().toStdString() : "<none>");
        QTest::keyClick(focused ? focused : first, Qt::Key_Tab);
    }
    return names;
}

} // namespace

TEST_F(WindowTest, StartsOnTheWelcomePageWithTheOtherPagesOutOfReach) {
    writeProfiles({kDaily});
    TForm1& f = start();
    EXPECT_EQ(page(), "welcome");
    EXPECT_EQ(f.state().StartFolder, root);
    EXPECT_EQ(f.state().SelectedRow, 1);
    // Loading showed row 1 although its page is out of view.
    EXPECT_EQ(f.Label20->text(), "Profile : Daily");
    for (QWidget* hidden : {static_cast<QWidget*>(f.StringGrid1), static_cast<QWidget*>(f.Edit4),
                            static_cast<QWidget*>(f.Button15)}) {
        EXPECT_EQ(hidden->x(), 500) << hidden->objectName().toStdString();
        EXPECT_EQ(hidden->focusPolicy(), Qt::NoFocus) << hidden->objectName().toStdString();
        EXPECT_TRUE(hidden->isVisible()); // hidden by place, not by visibility
    }
}

TEST_F(WindowTest, ReturnPressesTheFocusedButtonAsSpaceDoes) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    f.Button6->setFocus(Qt::TabFocusReason);
    QTest::keyClick(f.Button6, Qt::Key_Return);
    EXPECT_EQ(page(), "editor");
    f.Button4->setFocus(Qt::TabFocusReason);
    QTest::keyClick(f.Button4, Qt::Key_Enter); // the keypad's
    EXPECT_EQ(page(), "list");
    f.Button6->click();
    f.Edit4->setFocus(Qt::TabFocusReason);
    QTest::keyClick(f.Edit4, Qt::Key_Return); // in a text box Return presses nothing
    EXPECT_EQ(page(), "editor");
}

TEST(WindowPlace, OpensWhollyOnTheScreenWheneverItFits) {
    const QSize window(413, 591);
    // centred where it fits; at twice the scale a 1280x1024 screen is 640x512 and the
    // window's top (its close icon) stays on it
    EXPECT_EQ(placedOnScreen({0, 0, 1920, 1080}, window), QPoint(753, 244));
    EXPECT_EQ(placedOnScreen({0, 0, 640, 512}, window), QPoint(113, 0));
    EXPECT_EQ(placedOnScreen({1920, 30, 400, 500}, window), QPoint(1920, 30));
}

TEST_F(WindowTest, ContinueOpensTheListWhenThereAreProfiles) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    EXPECT_EQ(page(), "list");
    EXPECT_EQ(f.StringGrid1->geometry(), QRect(83, 128, 302, 113));
    EXPECT_EQ(f.state().SelectedRow, 1);
    EXPECT_EQ(currentRow(), 1);
    EXPECT_EQ(f.Label20->text(), "Profile : Daily");
    EXPECT_EQ(f.Label21->text(), "Mode : BackUP");
    EXPECT_EQ(f.Label7->text(), "Source/Location  : /src/work");
    EXPECT_EQ(f.Label8->text(), "Target/Destination : /dst/store");
    EXPECT_EQ(f.Label3->text(), "Last Run Date & Status : NEVER >> Pending");
}

TEST_F(WindowTest, ContinueOnAnEmptyTableOpensACleanEditor) {
    TForm1& f = startOnList(); // no profile file at all
    EXPECT_EQ(page(), "editor");
    EXPECT_EQ(f.Label26->text(), "Create New Backup / Syncronize profile");
    EXPECT_TRUE(f.Edit4->text().isEmpty());
    EXPECT_TRUE(f.Edit1->text().isEmpty());
    EXPECT_TRUE(f.RadioButton1->isChecked());
    EXPECT_TRUE(f.CheckBox5->isEnabled());
    EXPECT_FALSE(f.Button15->isEnabled());
    EXPECT_EQ(f.editFlag, 0);
    EXPECT_TRUE(std::filesystem::exists(profileFile())); // loading left an empty file
}

TEST_F(WindowTest, CloseIconGoesBackToWelcomeFromBothPagesAndKeepsTheEditor) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    QTest::mouseClick(f.Image11, Qt::LeftButton);
    EXPECT_EQ(page(), "welcome");
    EXPECT_FALSE(shell().isTerminated);

    f.BitBtn2->click();
    f.Button6->click();
    QTest::keyClicks(f.Edit4, "Half typed");
    QTest::mouseClick(f.Image11, Qt::LeftButton);
    EXPECT_EQ(page(), "welcome");
    EXPECT_EQ(f.Edit4->text(), "Half typed"); // neither saved nor cleared
    EXPECT_EQ(readProfiles(), std::string(kDaily) + "\r\n");
}

TEST_F(WindowTest, CloseIconOnWelcomeEndsTheProgramWithoutSaving) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    f.Button7->click(); // the question is not answered Yes: nothing deleted
    shell().answers = {ResultYes};
    f.Button7->click();
    QTest::mouseClick(f.Image11, Qt::LeftButton);
    std::filesystem::current_path("/");
    QTest::mouseClick(f.Image11, Qt::LeftButton);
    EXPECT_TRUE(shell().isTerminated);
    EXPECT_EQ(std::filesystem::current_path(), root); // back in the start folder
    EXPECT_EQ(readProfiles(), std::string(kDaily) + "\r\n");
}

TEST_F(WindowTest, AStartFolderThatIsGoneShowsTheTopLevelErrorAndTheProgramGoesOn) {
    const std::string gone = root + "/gone";
    std::filesystem::create_directory(gone);
    std::filesystem::current_path(gone);
    TForm1 other(shell()); // started in a folder that is then removed
    std::filesystem::current_path(root);
    std::filesystem::remove(gone);
    QTest::mouseClick(other.Image11, Qt::LeftButton); // through the application's notify()
    ASSERT_EQ(shell().topLevelErrors.size(), 1u);
    // the folder named on a line of its own
    EXPECT_EQ(shell().topLevelErrors[0], "Invalid filename.\r" + gone);
    EXPECT_FALSE(shell().isTerminated);
    EXPECT_EQ(other.BitBtn2->x(), 130);
}

TEST_F(WindowTest, TermsOfUseLinkOpensTheDocumentAndReportsAFailure) {
    TForm1& f = start();
    QTest::mouseClick(f.Label22, Qt::LeftButton);
    EXPECT_EQ(shell().termsOpened, 1);
    EXPECT_TRUE(shell().topLevelErrors.empty());

    shell().termsFailure = "No application is available to open PDF documents";
    QTest::mouseClick(f.Label22, Qt::LeftButton);
    ASSERT_EQ(shell().topLevelErrors.size(), 1u);
    EXPECT_EQ(shell().topLevelErrors[0], "No application is available to open PDF documents.");
    EXPECT_EQ(page(), "welcome");
}

TEST_F(WindowTest, EveryPageEventLeadsToItsPage) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    f.Button6->click();
    EXPECT_EQ(page(), "editor");
    f.Button4->click();
    EXPECT_EQ(page(), "list");
    f.Button5->click();
    EXPECT_EQ(page(), "editor");
    f.Button15->click();
    EXPECT_EQ(page(), "list");
    clickRow(2);
    QTest::mouseDClick(f.StringGrid1->viewport(), Qt::LeftButton, {},
                       f.StringGrid1->visualRect(f.table().index(1, 1)).center());
    EXPECT_EQ(page(), "editor");
    EXPECT_EQ(f.Edit4->text(), "Photos");
    QTest::mouseClick(f.Image11, Qt::LeftButton);
    EXPECT_EQ(page(), "welcome");
}

TEST_F(WindowTest, TabWalksOnlyTheFocusStopsOfThePageThatShows) {
    writeProfiles({kDaily});
    TForm1& f = start();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));

    // The close icon and the terms link close every page's round.
    EXPECT_EQ(tabWalk(f.BitBtn2, 4),
              (std::vector<std::string>{"BitBtn2", "Image11", "Label22", "BitBtn2"}));

    f.BitBtn2->click();
    EXPECT_EQ(tabWalk(f.StringGrid1, 9),
              (std::vector<std::string>{"StringGrid1", "Button6", "Button5", "Button7", "Button16",
                                        "Button1", "Image11", "Label22", "StringGrid1"}));

    f.Button5->click(); // a name of 5 characters: Save is enabled
    EXPECT_EQ(tabWalk(f.Edit4, 17),
              (std::vector<std::string>{"Edit4", "RadioButton1", "RadioButton2", "Edit1",
                                        "Button18", "automydocs", "autodesktop", "autoemail",
                                        "Edit2", "Button2", "CheckBox3", "CheckBox5", "Button4",
                                        "Button15", "Image11", "Label22", "Edit4"}));
    EXPECT_EQ(f.Memo1->focusPolicy(), Qt::NoFocus);
}
