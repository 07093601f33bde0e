#include "folder_chooser.h"
#include "io_error.h"
#include "message_dialog.h"
#include "qt_shell_services.h"
#include "scripted_shell.h"
#include "temp_folder.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>

using namespace qm;

namespace {

/// Shows a dialog without blocking and lets `act` close it.
int answer(DialogKind kind, DialogButtons buttons, const std::function<void(MessageDialog&)>& act) {
    MessageDialog dialog("Delete Selected Profile?", kind, buttons);
    dialog.show();
    act(dialog);
    EXPECT_FALSE(dialog.isVisible());
    return dialog.resultCode();
}

/// Works inside a fresh temporary folder.
class TempFolder : public qm::test::TempFolderTest {
protected:
    TempFolder() : TempFolderTest("chooser") {}
    void SetUp() override {
        TempFolderTest::SetUp();
        std::filesystem::current_path(root);
    }
};

} // namespace

TEST(MessageDialogTest, YesNoAnswersByKeyButtonAndCloseBox) {
    const DialogButtons yesNo = ButtonYes | ButtonNo;
    EXPECT_EQ(answer(DialogKind::Warning, yesNo,
                     [](MessageDialog& d) { QTest::keyClick(&d, Qt::Key_Return); }),
              ResultYes);
    EXPECT_EQ(answer(DialogKind::Warning, yesNo,
                     [](MessageDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }),
              ResultNo);
    EXPECT_EQ(answer(DialogKind::Confirmation, yesNo, [](MessageDialog& d) { d.close(); }),
              ResultCancel);
    EXPECT_EQ(answer(DialogKind::Confirmation, yesNo,
                     [](MessageDialog& d) { d.buttonFor(ResultNo)->click(); }),
              ResultNo);
    EXPECT_EQ(answer(DialogKind::Error, ButtonOk,
                     [](MessageDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); }),
              ResultOk);
    EXPECT_EQ(answer(DialogKind::Error, ButtonOk, [](MessageDialog& d) { d.close(); }),
              ResultCancel);
}

TEST(MessageDialogTest, CaptionsIconsButtonsAndLineBreaks) {
    MessageDialog warning("first\r\rsecond\r\nthird", DialogKind::Warning, ButtonYes | ButtonNo);
    EXPECT_EQ(warning.windowTitle(), "Warning");
    EXPECT_EQ(warning.icon(), QMessageBox::Warning);
    EXPECT_EQ(warning.text(), "first\n\nsecond\nthird");
    warning.show();
    QAbstractButton* yes = warning.buttonFor(ResultYes);
    QAbstractButton* no = warning.buttonFor(ResultNo);
    ASSERT_TRUE(yes && no);
    EXPECT_EQ(yes->text(), "&Yes");
    EXPECT_EQ(no->text(), "&No");
    EXPECT_LT(yes->mapTo(&warning, QPoint()).x(), no->mapTo(&warning, QPoint()).x());
    EXPECT_EQ(warning.defaultButton(), yes);
    EXPECT_EQ(warning.escapeButton(), no);
    warning.close();

    MessageDialog error("x", DialogKind::Error, ButtonOk);
    EXPECT_EQ(error.windowTitle(), "Error");
    EXPECT_EQ(error.icon(), QMessageBox::Critical);
    EXPECT_EQ(error.buttonFor(ResultOk)->text(), "OK");
    MessageDialog confirm("x", DialogKind::Confirmation, ButtonYes | ButtonNo);
    EXPECT_EQ(confirm.windowTitle(), "Confirm");
    EXPECT_EQ(confirm.icon(), QMessageBox::Question);
    MessageDialog info("x", DialogKind::Information, ButtonOk);
    EXPECT_EQ(info.windowTitle(), "Information");
}

TEST(QtShellServicesTest, AfterTerminateEveryDialogAnswersCancelAtOnce) {
    QtShellServices shell;
    EXPECT_FALSE(shell.terminated());
    shell.terminate();
    EXPECT_TRUE(shell.terminated());
    EXPECT_EQ(shell.messageDialog("Overwrite?", DialogKind::Confirmation, ButtonYes | ButtonNo),
              ResultCancel);
    EXPECT_EQ(shell.messageDialog("Failed", DialogKind::Error, ButtonOk), ResultCancel);
    std::string folder = "/tmp";
    EXPECT_FALSE(shell.chooseFolder(folder));
    EXPECT_EQ(folder, "/tmp");
    QCoreApplication::processEvents(); // the posted quit finds no running loop here
}

TEST_F(TempFolder, ForceDirectoriesCreatesEveryMissingLevel) {
    forceDirectories(root + "/a/b/c");
    EXPECT_TRUE(std::filesystem::is_directory(root + "/a/b/c"));
    forceDirectories("rel/inner/");
    EXPECT_TRUE(std::filesystem::is_directory(root + "/rel/inner"));
    forceDirectories("rel"); // a bare name that exists
    try {
        forceDirectories("");
        FAIL() << "an empty path must raise";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 3);
        EXPECT_STREQ(error.what(), "Unable to create directory");
    }
    EXPECT_THROW(forceDirectories("bare"), IoError);
    EXPECT_FALSE(std::filesystem::exists(root + "/bare"));
}

TEST_F(TempFolder, ChooserConfirmsAFolderThatDoesNotExistBeforeAccepting) {
    std::filesystem::create_directory(root + "/start");
    int asked = 0;
    bool agree = false;
    FolderChooser chooser(QString::fromStdString(root + "/start"), [&] {
        ++asked;
        return agree;
    });
    EXPECT_EQ(chooser.windowTitle(), "Select Directory");
    EXPECT_TRUE(chooser.testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_TRUE(chooser.testOption(QFileDialog::ShowDirsOnly));
    ASSERT_NE(chooser.pathEdit(), nullptr);
    ASSERT_NE(chooser.okButton(), nullptr);
    chooser.show();

    chooser.pathEdit()->setText(QString::fromStdString(root + "/new/deeper"));
    EXPECT_TRUE(chooser.okButton()->isEnabled());
    chooser.accept(); // answered No: stays open
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(chooser.isVisible());
    agree = true;
    chooser.accept();
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(chooser.isVisible());
    EXPECT_EQ(chooser.result(), QDialog::Accepted);
    EXPECT_EQ(chooser.chosenText().toStdString(), root + "/new/deeper");
    EXPECT_FALSE(std::filesystem::exists(root + "/new")); // created by the caller
}

TEST_F(TempFolder, ChooserTakesAnExistingOrTheShownFolderWithoutAsking) {
    std::filesystem::create_directory(root + "/there");
    int asked = 0;
    FolderChooser chooser(QString::fromStdString(root), [&] { return ++asked, true; });
    chooser.show();
    QTest::keyClicks(chooser.pathEdit(), QStringLiteral("there")); // typed over the full path
    chooser.accept();
    EXPECT_EQ(chooser.chosenText(), "there");
    EXPECT_EQ(asked, 0);

    FolderChooser empty(QString::fromStdString(root), [&] { return ++asked, true; });
    empty.show();
    empty.pathEdit()->clear();
    empty.accept();
    EXPECT_EQ(empty.chosenText().toStdString(), root);
    EXPECT_EQ(asked, 0);
}

namespace {
class Throwing : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User)
            throw IoError(32);
        return QObject::event(event);
    }
};
} // namespace

TEST(ApplicationTest, AnErrorThatReachesTheEventLoopIsShownAndTheProgramGoesOn) {
    ScriptedShell& shell = applicationShell();
    shell = ScriptedShell{};
    Throwing target;
    QEvent first(QEvent::User);
    QCoreApplication::sendEvent(&target, &first);
    QEvent second(QEvent::User);
    QCoreApplication::sendEvent(&target, &second);
    ASSERT_EQ(shell.topLevelErrors.size(), 2u);
    EXPECT_EQ(shell.topLevelErrors[0], "I/O error 32.");
}
