#include "folder_chooser.h"
#include "folders.h"
#include "io_error.h"
#include "message_dialog.h"
#include "qt_shell_services.h"
#include "temp_folder.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace qm;

namespace {

class ChooserTest : public qm::test::TempFolderTest {
protected:
    ChooserTest() : TempFolderTest("chooser") {}
    void SetUp() override {
        TempFolderTest::SetUp();
        std::filesystem::current_path(root);
        // The machine's own mounts stay out of these tests.
        FolderChooser::setMountTable([this] { return mountinfo; });
    }
    void TearDown() override {
        FolderChooser::setMountTable({});
        TempFolderTest::TearDown();
    }
    QStringList drives(const FolderChooser& chooser) const {
        QStringList items;
        for (int i = 0; i < chooser.driveBox()->count(); ++i)
            items << chooser.driveBox()->itemText(i);
        return items;
    }
    std::string mountinfo;
    void touch(const std::string& name) { std::ofstream(root + "/" + name) << "x"; }
};

/// The label's text as shown: "&" marks an access key and is not drawn.
QString shownText(const QLabel* label) {
    QString text = label->text();
    return label->buddy() ? text.remove(QLatin1Char('&')) : text;
}

/// Waits until the folder list has listed `folder`.
void waitForListing(FolderChooser& chooser) {
    auto* model = chooser.findChild<QFileSystemModel*>();
    ASSERT_NE(model, nullptr);
    const QModelIndex parent = model->index(chooser.directory().absolutePath());
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->rowCount(parent) > 0; }, 5000));
}

} // namespace

TEST_F(ChooserTest, TextsAccessKeysAndTheGreyedFileList) {
    std::filesystem::create_directory(root + "/sub");
    touch("b.txt");
    touch("a.txt");
    touch(".hidden");
    FolderChooser chooser(QString::fromStdString(root), [] { return true; });
    chooser.show();

    ASSERT_NE(chooser.folderLabel(), nullptr);
    EXPECT_EQ(chooser.folderLabel()->text(), "&Directories:");
    // With a buddy the "&" turns into an access key rather than a character.
    EXPECT_NE(chooser.folderLabel()->buddy(), nullptr);
    EXPECT_EQ(shownText(chooser.folderLabel()), "Directories:");
    auto* nameLabel = chooser.findChild<QLabel*>(QStringLiteral("fileNameLabel"));
    ASSERT_NE(nameLabel, nullptr);
    EXPECT_EQ(nameLabel->buddy(), chooser.pathEdit());
    EXPECT_EQ(shownText(nameLabel), "Directory Name:");

    EXPECT_EQ(chooser.fileLabel()->text(), "&Files: (*.*)");
    EXPECT_EQ(chooser.fileLabel()->buddy(), chooser.fileList());
    EXPECT_TRUE(chooser.fileList()->isVisible());
    EXPECT_FALSE(chooser.fileList()->isEnabled());
    QStringList files;
    for (int i = 0; i < chooser.fileList()->count(); ++i)
        files << chooser.fileList()->item(i)->text();
    EXPECT_EQ(files, QStringList({"a.txt", "b.txt"})); // no folders, no hidden files

    ASSERT_NE(chooser.okButton(), nullptr);
    EXPECT_EQ(chooser.okButton()->text(), "OK");
    EXPECT_TRUE(chooser.okButton()->isDefault());
}

TEST_F(ChooserTest, DriveBoxOffersTheRootAndOpensTheChosenDrive) {
    FolderChooser chooser(QString::fromStdString(root), [] { return true; });
    chooser.show();
    ASSERT_NE(chooser.driveBox(), nullptr);
    EXPECT_EQ(chooser.driveLabel()->text(), "D&rives:");
    EXPECT_EQ(chooser.driveLabel()->buddy(), chooser.driveBox());
    EXPECT_EQ(shownText(chooser.driveLabel()), "Drives:");
    ASSERT_GE(chooser.driveBox()->count(), 1);
    EXPECT_EQ(chooser.driveBox()->itemText(0), "/");
    emit chooser.driveBox()->activated(0);
    EXPECT_EQ(chooser.directory().absolutePath(), "/");
    EXPECT_EQ(chooser.pathEdit()->text(), "/"); // the path box follows the opened folder
    EXPECT_EQ(QDir::currentPath(), "/");        // and so does the current directory
}

TEST_F(ChooserTest, DriveBoxListsTheBlockDeviceMountsOfTheKernelsTable) {
    std::filesystem::create_directory(root + "/usb stick");
    const std::string usb = root + "/usb\\040stick";
    mountinfo = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                "23 22 0:21 / /proc rw - proc proc rw\n"
                "24 22 0:22 / /run rw shared:5 - tmpfs tmpfs rw,size=1g\n"
                "25 22 8:2 / /boot/efi rw - vfat /dev/sda2 rw\n"
                "26 22 0:40 / /mnt/remote rw - fuse.sshfs user@host:/srv rw\n"
                "27 22 8:17 / " +
                usb +
                " rw,nosuid shared:9 master:3 - exfat /dev/sdb1 rw\n"
                "28 22 8:3 / /home rw - btrfs /dev/sda3 rw\n"
                "29 22 8:3 /sub /home rw - btrfs /dev/sda3 rw\n" // mounted over: once
                "30 22 8:4 / /broken\n"                          // cut short
                "31 22 8:5 / /boot rw - ext4 /dev/sda5 rw\n";
    FolderChooser chooser(QString::fromStdString(root), [] { return true; });
    EXPECT_EQ(drives(chooser),
              QStringList({"/", QString::fromStdString(root + "/usb stick"), "/home"}));

    // a drive opens like any folder, spaces in its name and all
    emit chooser.driveBox()->activated(1);
    EXPECT_EQ(chooser.directory().absolutePath(), QString::fromStdString(root + "/usb stick"));
    EXPECT_EQ(QDir::currentPath(), QString::fromStdString(root + "/usb stick"));
}

TEST_F(ChooserTest, AnUnreadableMountTableLeavesTheRootAlone) {
    for (const std::string& table : {std::string(), std::string("garbage\n\n- - -\n")}) {
        mountinfo = table;
        FolderChooser chooser(QString::fromStdString(root), [] { return true; });
        EXPECT_EQ(drives(chooser), QStringList({"/"})) << table;
    }
}

TEST_F(ChooserTest, PathBoxHoldsTheSelectedFoldersFullPathAllSelected) {
    std::filesystem::create_directory(root + "/start");
    std::filesystem::create_directory(root + "/start/inner");
    touch("start/file.txt");
    const QString start = QString::fromStdString(root + "/start");
    FolderChooser chooser(start, [] { return true; });
    chooser.show();
    EXPECT_EQ(chooser.pathEdit()->text(), start);
    EXPECT_EQ(chooser.pathEdit()->selectedText(), start);

    waitForListing(chooser);
    auto* folders = chooser.findChild<QAbstractItemView*>(QStringLiteral("listView"));
    ASSERT_NE(folders, nullptr);
    auto* model = chooser.findChild<QFileSystemModel*>();
    const QModelIndex inner = model->index(start + "/inner");
    ASSERT_TRUE(inner.isValid());
    folders->selectionModel()->select(inner, QItemSelectionModel::ClearAndSelect |
                                                 QItemSelectionModel::Rows);
    EXPECT_EQ(chooser.pathEdit()->text(), start + "/inner");
    EXPECT_EQ(chooser.pathEdit()->selectedText(), start + "/inner");

    // Opening a folder shows it, its files, and makes it the current directory.
    chooser.setDirectory(start + "/inner");
    emit chooser.directoryEntered(start + "/inner");
    EXPECT_EQ(chooser.pathEdit()->text(), start + "/inner");
    EXPECT_EQ(chooser.fileList()->count(), 0);
    EXPECT_EQ(std::filesystem::current_path().string(), root + "/start/inner");
    chooser.setDirectory(start);
    emit chooser.directoryEntered(start);
    EXPECT_EQ(chooser.fileList()->count(), 1);

    chooser.accept(); // the full path as it stands
    EXPECT_EQ(chooser.chosenText(), start);
}

TEST_F(ChooserTest, MakeFoldersNamesTheLevelThatCannotBeMade) {
    makeFolders(root + "/x/y/z/");
    EXPECT_TRUE(std::filesystem::is_directory(root + "/x/y/z"));
    makeFolders(root + "/x/y"); // there already
    touch("x/file");
    try {
        makeFolders(root + "/x/file/deeper");
        FAIL() << "a file in the way must raise";
    } catch (const IoError& error) {
        EXPECT_EQ(error.code(), 183);
        EXPECT_EQ(error.path(), root + "/x/file");
        EXPECT_EQ(errorText(error),
                  "Unable to create directory. " + ioErrorReason(183) + "\r" + root + "/x/file");
    }
    // Through the chooser's creation as well: no silent success.
    EXPECT_THROW(forceDirectories(root + "/x/file/deeper"), IoError);
    EXPECT_FALSE(std::filesystem::exists(root + "/x/file/deeper"));
}

TEST_F(ChooserTest, ShellCreatesTheConfirmedFolderOrRaisesNamingIt) {
    touch("blocker");
    // A quit posted by an earlier test, with no loop running, would end every modal loop at
    // once; a main loop that runs and ends clears it.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    QtShellServices shell;
    int confirmations = 0;
    std::string typed;
    // Answers whatever modal box comes up: types into the chooser, agrees to creating.
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        // Acts from a queued call: a timer does not fire again while its handler runs, and
        // accepting the chooser opens the confirmation's own loop.
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* chooser = qobject_cast<FolderChooser*>(modal)) {
            QMetaObject::invokeMethod(
                chooser,
                [&, chooser] {
                    // Typed as a user types: into the box while it has the focus. On a busy
                    // display the window may not be active yet, and the dialog then writes
                    // the matching folders it selects into the box over the typing.
                    QApplication::setActiveWindow(chooser);
                    chooser->pathEdit()->setFocus(Qt::OtherFocusReason);
                    chooser->pathEdit()->selectAll();
                    QTest::keyClicks(chooser->pathEdit(), QString::fromStdString(typed));
                    chooser->accept();
                },
                Qt::QueuedConnection);
        } else if (auto* box = qobject_cast<MessageDialog*>(modal)) {
            ++confirmations;
            QMetaObject::invokeMethod(
                box, [box] { box->buttonFor(ResultYes)->click(); }, Qt::QueuedConnection);
        }
    });
    driver.start(10);

    typed = root + "/made/two";
    std::string folder = root;
    ASSERT_TRUE(shell.chooseFolder(folder));
    EXPECT_EQ(folder, root + "/made/two");
    EXPECT_TRUE(std::filesystem::is_directory(root + "/made/two"));
    EXPECT_EQ(confirmations, 1);

    typed = root + "/blocker/inside";
    folder = root;
    try {
        shell.chooseFolder(folder);
        FAIL() << "a folder that cannot be made must raise";
    } catch (const IoError& error) {
        EXPECT_EQ(error.path(), root + "/blocker");
    }
    EXPECT_EQ(folder, root); // the caller's text is not touched
}
