#include "window_fixture.h"

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

using namespace qm;

TEST_F(WindowTest, GridShowsTheOneProfileTable) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    EXPECT_EQ(f.StringGrid1->model(), &f.table());
    const int widths[] = {46, 133, 159, 162, 120, 65, 64};
    for (int column = 0; column < 7; ++column)
        EXPECT_EQ(f.StringGrid1->columnWidth(column), widths[column]);
    EXPECT_EQ(f.StringGrid1->rowHeight(0), 17);
    EXPECT_EQ(f.StringGrid1->model()->headerData(2, Qt::Horizontal).toString(), "Source/Location");
    EXPECT_EQ(f.StringGrid1->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(f.StringGrid1->selectionBehavior(), QAbstractItemView::SelectRows);

    clickRow(2);
    EXPECT_EQ(f.state().SelectedRow, 2);
    EXPECT_EQ(f.Label20->text(), "Profile : Photos");
    EXPECT_EQ(f.Label3->text(), "Last Run Date & Status : 1/2/26 9:00:00 am >> Done");

    // A click on the header row selects nothing.
    QTest::mouseClick(f.StringGrid1->horizontalHeader()->viewport(), Qt::LeftButton, {},
                      QPoint(60, 8));
    EXPECT_EQ(f.state().SelectedRow, 2);
    EXPECT_EQ(currentRow(), 2);
}

TEST_F(WindowTest, DeletingTheOnlyProfileLeavesAnEmptyRowAndTheOldDetails) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    shell().answers = {ResultYes};
    f.Button7->click();
    ASSERT_EQ(shell().messages.size(), 1u);
    EXPECT_EQ(shell().messages[0].text, "Delete Selected Profile?");
    EXPECT_EQ(shell().messages[0].kind, DialogKind::Warning);
    EXPECT_EQ(shell().messages[0].buttons, ButtonYes | ButtonNo);
    EXPECT_EQ(f.table().RowCount(), 2);
    EXPECT_TRUE(f.table().isEmpty());
    EXPECT_EQ(page(), "list");
    EXPECT_EQ(f.Label20->text(), "Profile : Daily");
    EXPECT_EQ(readProfiles(), std::string(kDaily) + "\r\n"); // nothing saved
}

TEST_F(WindowTest, DeletingTheCurrentLastRowMovesTheSelectionUp) {
    writeProfiles({kDaily, kPhotos, kMusic});
    TForm1& f = startOnList();
    clickRow(3);
    shell().answers = {ResultYes};
    f.Button7->click();
    EXPECT_EQ(f.table().RowCount(), 3);
    EXPECT_EQ(currentRow(), 2);
    EXPECT_EQ(f.state().SelectedRow, 2);
    EXPECT_EQ(f.Label20->text(), "Profile : Photos");
}

TEST_F(WindowTest, DeletingAMiddleRowShiftsTheRestAndKeepsSelectedRow) {
    writeProfiles({kDaily, kPhotos, kMusic, kMail});
    TForm1& f = startOnList();
    clickRow(2);
    shell().answers = {ResultYes};
    f.Button7->click();
    EXPECT_EQ(f.table().RowCount(), 4);
    EXPECT_EQ(cell(ColName, 1), "Daily");
    EXPECT_EQ(cell(ColName, 2), "Music");
    EXPECT_EQ(cell(ColName, 3), "Mail");
    EXPECT_EQ(cell(ColOptions, 3), "NPAODN");
    EXPECT_EQ(currentRow(), 2);
    EXPECT_EQ(f.state().SelectedRow, 2);
    EXPECT_EQ(f.Label20->text(), "Profile : Photos"); // until the next selection
}

TEST_F(WindowTest, DeleteAfterARunOnRowThreeDeletesRowOne) {
    writeProfiles({kDaily, kPhotos, kMusic, kMail});
    TForm1& f = startOnList();
    clickRow(3);
    f.selectCell(1, 1); // what the end of every run does
    shell().answers = {ResultYes};
    f.Button7->click();
    EXPECT_EQ(cell(ColName, 1), "Photos");
    EXPECT_EQ(cell(ColName, 2), "Music");
    EXPECT_EQ(f.table().RowCount(), 4);
    EXPECT_EQ(currentRow(), 3); // the grid still marks the row that ran
    EXPECT_EQ(f.state().SelectedRow, 1);
}

TEST_F(WindowTest, DeleteDoesNothingUnlessAnsweredYes) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    shell().answers = {ResultNo};
    f.Button7->click();
    f.Button7->click(); // closed: 2
    EXPECT_EQ(shell().messages.size(), 2u);
    EXPECT_EQ(f.table().RowCount(), 3);
    EXPECT_EQ(cell(ColName, 1), "Daily");

    f.selectCell(1, 0);
    f.Button7->click();
    EXPECT_EQ(shell().messages.size(), 2u); // SelectedRow 0: not even the question
}

TEST_F(WindowTest, DuringARunTheGridKeepsItsRowAndDoubleClickIsRefused) {
    writeProfiles({kDaily, kPhotos, kMusic});
    TForm1& f = startOnList();
    clickRow(2);
    f.state().busyFlag = 1;
    clickRow(3);
    QTest::keyClick(f.StringGrid1, Qt::Key_Down);
    EXPECT_EQ(f.state().SelectedRow, 2);
    EXPECT_EQ(currentRow(), 2);
    f.StringGrid1DblClick();
    QTest::mouseDClick(f.StringGrid1->viewport(), Qt::LeftButton, {},
                       f.StringGrid1->visualRect(f.table().index(0, 1)).center());
    EXPECT_EQ(page(), "list");

    // The run itself still moves the grid (run all) and ends on row 1.
    f.state().busyFlag = 0;
    f.makeCurrentRow(3);
    EXPECT_EQ(f.state().SelectedRow, 3);
    f.state().busyFlag = 1;
    f.selectCell(1, 1);
    EXPECT_EQ(f.state().SelectedRow, 1);
    f.state().busyFlag = 0;

    f.StringGrid1DblClick();
    EXPECT_EQ(page(), "editor");
    EXPECT_EQ(f.Edit4->text(), "Daily");
}

TEST_F(WindowTest, DoubleClickOnTheHeaderEditsTheSelectedRow) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    clickRow(2);
    QTest::mouseDClick(f.StringGrid1->horizontalHeader()->viewport(), Qt::LeftButton, {},
                       QPoint(60, 8));
    EXPECT_EQ(page(), "editor");
    EXPECT_EQ(f.Edit4->text(), "Photos");
}

TEST_F(WindowTest, RunViewWritesTheListPageControls) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    RunView& view = f;
    view.setStatus("Scanning Folders.../src");
    EXPECT_EQ(f.StatusBar1->currentMessage(), "Scanning Folders.../src");
    view.setProgress(150);
    EXPECT_EQ(f.ProgressBar1->value(), 100);
    view.setProgress(-3);
    EXPECT_EQ(f.ProgressBar1->value(), 0);
    view.setProgress(42);
    view.pumpEvents();
    EXPECT_EQ(f.ProgressBar1->value(), 42);
    view.appendLog("PROFILE -> Daily");
    view.appendLog("-");
    EXPECT_EQ(f.Memo1->toPlainText(), "PROFILE -> Daily\n-");
    view.clearLog();
    EXPECT_TRUE(f.Memo1->toPlainText().isEmpty());

    view.setRunControlsEnabled(false);
    for (QPushButton* b : {f.Button16, f.Button1, f.Button5, f.Button6, f.Button7, f.Button17})
        EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
    EXPECT_TRUE(f.StringGrid1->isEnabled());
    view.setRunControlsEnabled(true);
    EXPECT_TRUE(f.Button17->isEnabled());

    // Only a move of the current row runs the selection handler.
    f.selectCell(1, 2);
    view.makeCurrentRow(1); // already current
    EXPECT_EQ(f.state().SelectedRow, 2);
    view.makeCurrentRow(2);
    EXPECT_EQ(f.state().SelectedRow, 2);
    EXPECT_EQ(currentRow(), 2);

    EXPECT_EQ(view.askYesNo("Overwrite?"), ResultCancel);
    EXPECT_EQ(shell().messages.back().kind, DialogKind::Confirmation);
    view.showError("Target/Destination drive and folder cannot be accessed..!");
    EXPECT_EQ(shell().messages.back().buttons, ButtonOk);
    view.showTopLevelError("I/O error 112");
    EXPECT_EQ(shell().topLevelErrors.back(), "I/O error 112.");
}

TEST_F(WindowTest, DuringARunTheDisplayCatchesUpWithEveryLineInOrder) {
    writeProfiles({kDaily});
    TForm1& f = startOnList();
    RunView& view = f;
    view.setRunControlsEnabled(false);
    view.clearLog();
    for (int i = 0; i < 500; ++i) {
        view.setStatus("   /src/f" + std::to_string(i) + "   busy");
        view.appendLog("line " + std::to_string(i));
        if (i % 7 == 0)
            view.pumpEvents();
    }
    view.setStatus("DONE! Daily");
    // A dialog in the middle of a run shows the run as it stands.
    view.showError("Source/Location drive and folder cannot be accessed..!");
    EXPECT_EQ(f.StatusBar1->currentMessage(), "DONE! Daily");
    EXPECT_EQ(f.Memo1->blockCount(), 500);
    view.appendLog("-");
    view.setRunControlsEnabled(true);

    const QStringList lines = f.Memo1->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 501);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(lines[i], QString("line %1").arg(i));
    EXPECT_EQ(lines.last(), "-");
    EXPECT_EQ(f.StatusBar1->currentMessage(), "DONE! Daily");
}
