#include "document_viewer.h"
#include "qt_shell_services.h"
#include "temp_name.h"
#include "window_fixture.h"

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <filesystem>
#include <sys/stat.h>

using namespace qm;

namespace {

/// Log lines of the run log.
QStringList logLines(const TForm1& form) {
    return form.Memo1->toPlainText().split(QLatin1Char('\n'));
}

class DesktopTest : public WindowTest {
protected:
    /// A backup profile from src to dst with `files` files in src.
    void backupProfile(int files) {
        std::filesystem::create_directories(root + "/src");
        std::filesystem::create_directories(root + "/dst");
        for (int i = 0; i < files; ++i)
            qm::test::writeFile(root + "/src/file" + std::to_string(i),
                                std::string(10 + i % 100, 'a' + i % 26));
        writeProfiles(
            {"BackUP->Work->" + root + "/src->" + root + "/dst->NEVER->Pending->NPAODN->"});
    }
    bool selectionMarksCurrentRow() const {
        const QModelIndex current = form->StringGrid1->currentIndex();
        return current.isValid() &&
               form->StringGrid1->selectionModel()->isRowSelected(current.row(), {});
    }
};

} // namespace

TEST_F(DesktopTest, ClosingDuringARunAsksAndYesStopsItKeepingFinishedCopies) {
    // More files than one write-out takes, so that some are finished while others are not.
    constexpr int kFiles = 1100;
    backupProfile(kFiles);
    TForm1& f = startOnList();
    int closes = 0;
    shell().onPump = [&] {
        // The window manager's close once the first copies are in place.
        if (closes > 0)
            return;
        bool copied = false;
        for (const auto& entry : std::filesystem::directory_iterator(root + "/dst"))
            copied = copied || !isTempName(entry.path().filename().string());
        if (copied) {
            ++closes;
            shell().answers = {ResultYes};
            f.close();
        }
    };
    f.Button16->click();
    ASSERT_EQ(closes, 1);
    ASSERT_EQ(shell().messages.size(), 1u);
    EXPECT_EQ(shell().messages[0].text, "A backup is running. Stop it and quit?");
    EXPECT_EQ(shell().messages[0].buttons, ButtonYes | ButtonNo);
    EXPECT_TRUE(shell().isTerminated);
    EXPECT_EQ(cell(ColStatus, 1), "ERROR");
    EXPECT_NE(cell(ColLastRun, 1), "NEVER");
    EXPECT_TRUE(logLines(f).contains("STOPPED -> the run was stopped by the user"));
    EXPECT_NE(readProfiles().find("->ERROR->"), std::string::npos);
    // Whatever is in the target is a whole copy; no temporary is left behind.
    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/dst")) {
        const std::string name = entry.path().filename().string();
        ASSERT_TRUE(name.starts_with("file")) << name;
        EXPECT_EQ(qm::test::readFile(entry.path().string()),
                  qm::test::readFile(root + "/src/" + name));
        ++kept;
    }
    EXPECT_GE(kept, 1);
    EXPECT_LT(kept, kFiles);
    EXPECT_EQ(f.state().busyFlag, 0);
    EXPECT_TRUE(f.Button16->isEnabled());
}

TEST_F(DesktopTest, ClosingDuringARunAndAnsweringNoGoesOn) {
    backupProfile(5);
    TForm1& f = startOnList();
    bool closed = false;
    shell().onPump = [&] {
        if (!closed) {
            closed = true;
            shell().answers = {ResultNo};
            f.close();
        }
    };
    f.Button16->click();
    ASSERT_TRUE(closed);
    EXPECT_EQ(shell().messages.size(), 1u);
    EXPECT_FALSE(shell().isTerminated);
    EXPECT_EQ(cell(ColStatus, 1), "Done");
    EXPECT_FALSE(logLines(f).contains("STOPPED -> the run was stopped by the user"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root + "/dst"), {}), 5);
}

TEST_F(DesktopTest, ClosingOutsideARunEndsWithoutAskingOrSaving) {
    writeProfiles({kDaily, kPhotos});
    TForm1& f = startOnList();
    clickRow(2);
    const std::string before = readProfiles();
    EXPECT_FALSE(f.close()); // the quit is the program's own, after the handler
    EXPECT_TRUE(shell().messages.empty());
    EXPECT_TRUE(shell().isTerminated);
    EXPECT_EQ(readProfiles(), before);
}

TEST_F(DesktopTest, TheCurrentRowStaysHighlightedAfterEveryDeletion) {
    writeProfiles({kDaily, kPhotos, kMusic});
    TForm1& f = startOnList();
    clickRow(3); // the last row
    shell().answers = {ResultYes};
    f.Button7->click();
    EXPECT_EQ(currentRow(), 2);
    EXPECT_TRUE(selectionMarksCurrentRow());

    // Row 1 goes while another row is current (as after a run).
    f.selectCell(1, 1);
    shell().answers = {ResultYes};
    f.Button7->click();
    EXPECT_EQ(cell(ColName, 1), "Photos");
    EXPECT_TRUE(selectionMarksCurrentRow());

    // The only row.
    shell().answers = {ResultYes};
    f.Button7->click();
    EXPECT_TRUE(f.table().isEmpty());
    EXPECT_TRUE(selectionMarksCurrentRow());
}

TEST_F(DesktopTest, AFileErrorInTheLogIsFollowedByItsReason) {
    backupProfile(1);
    // A folder where the copy of the file has to go: it cannot be replaced.
    std::filesystem::create_directories(root + "/dst/file0/inside");
    TForm1& f = startOnList();
    f.Button16->click();
    const QStringList lines = logLines(f);
    int errorLine = -1;
    for (int i = 0; i < lines.size(); ++i)
        if (lines[i].startsWith("   Error "))
            errorLine = i;
    ASSERT_GE(errorLine, 0) << f.Memo1->toPlainText().toStdString();
    ASSERT_LT(errorLine + 1, lines.size());
    const QString line = lines[errorLine];
    EXPECT_TRUE(line.endsWith(" -> " + QString::fromStdString(root + "/dst/file0")) ||
                line.endsWith(" -> " + QString::fromStdString(root + "/src/file0")))
        << line.toStdString();
    const int code = line.mid(9, line.indexOf(" -> ") - 9).toInt();
    EXPECT_EQ(lines[errorLine + 1].toStdString(), "      " + ioErrorReason(code));
}

TEST_F(DesktopTest, AnErrorBoxNamesTheFolderOnALineOfItsOwn) {
    writeProfiles({kDaily});
    TForm1& f = start();
    std::filesystem::current_path("/");
    std::filesystem::remove_all(root);
    emit f.Image11->clicked(); // on the welcome page: quit, back in the start folder first
    ASSERT_EQ(shell().topLevelErrors.size(), 1u);
    const std::string& text = shell().topLevelErrors[0];
    const auto lineBreak = text.find('\r');
    ASSERT_NE(lineBreak, std::string::npos) << text;
    EXPECT_EQ(text.substr(lineBreak + 1), root);
    EXPECT_EQ(text.substr(0, lineBreak), ioErrorMessage(3) + ".");
}

TEST_F(DesktopTest, SaveLogWritesTheRunLogToTheChosenFile) {
    TForm1& f = startOnList();
    f.appendLog("PROFILE -> Daily");
    f.appendLog("   Error 5 -> /somewhere");
    shell().logFile = root + "/kept-log.txt";
    // Picks "Save Log..." from the log's context menu once it is up.
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        QAction* save = nullptr;
        for (QAction* action : menu->actions())
            if (action->text() == "Save Log...")
                save = action;
        ASSERT_NE(save, nullptr);
        EXPECT_TRUE(save->isEnabled());
        menu->close();
        save->trigger();
    });
    emit f.Memo1->customContextMenuRequested(QPoint(5, 5));
    ASSERT_EQ(shell().logFileStarts.size(), 1u);
    EXPECT_EQ(shell().logFileStarts[0], root + "/quillmark-log.txt");
    EXPECT_EQ(qm::test::readFile(root + "/kept-log.txt"),
              "PROFILE -> Daily\n   Error 5 -> /somewhere\n");

    // Cancelled: nothing written.
    shell().logFile.reset();
    std::filesystem::remove(root + "/kept-log.txt");
    QTimer::singleShot(0, [] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        menu->close();
        for (QAction* action : menu->actions())
            if (action->text() == "Save Log...")
                action->trigger();
    });
    emit f.Memo1->customContextMenuRequested(QPoint(5, 5));
    EXPECT_FALSE(std::filesystem::exists(root + "/kept-log.txt"));
}

namespace {

/// The desktop's services with the top-level error box recorded instead of shown.
class RecordingShell : public QtShellServices {
public:
    void topLevelError(const std::string& text) override { errors.push_back(text); }
    std::vector<std::string> errors;
};

/// Runs with PATH holding only `folder`, restoring it afterwards.
class PathOverride {
public:
    explicit PathOverride(const std::string& folder) : saved_(qgetenv("PATH")) {
        qputenv("PATH", QByteArray::fromStdString(folder));
    }
    ~PathOverride() { qputenv("PATH", saved_); }

private:
    QByteArray saved_;
};

} // namespace

TEST_F(DesktopTest, TermsLinkReportsAFailingOrMissingLauncher) {
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(root + "/cache"));
    std::filesystem::create_directories(root + "/bin");
    const std::string launcher = root + "/bin/xdg-open";
    qm::test::writeFile(launcher, "#!/bin/sh\nexit 3\n");
    ::chmod(launcher.c_str(), 0755);
    RecordingShell desktop;
    {
        PathOverride path(root + "/bin");
        desktop.openTermsOfUse(); // returns at once; the launcher's end is reported later
        EXPECT_TRUE(desktop.errors.empty());
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !desktop.errors.empty(); }, 10000));
    ASSERT_EQ(desktop.errors.size(), 1u);
    EXPECT_EQ(desktop.errors[0], launcherFailureText(3) + ".");
    EXPECT_NE(desktop.errors[0].find("no application is available to open PDF documents"),
              std::string::npos);

    std::filesystem::remove(launcher);
    PathOverride path(root + "/bin");
    try {
        desktop.openTermsOfUse();
        FAIL() << "no launcher must raise";
    } catch (const RuntimeError& error) {
        EXPECT_NE(std::string(error.what()).find("xdg-open is not installed"), std::string::npos);
    }
    qunsetenv("XDG_CACHE_HOME");
}
