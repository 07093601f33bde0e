#pragma once

#include "controls.h"
#include "file_bytes.h"
#include "profile_table.h"
#include "scripted_shell.h"
#include "temp_folder.h"
#include "unit1.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>

/// A window on a fresh temporary start folder, with dialogs answered by script.
class WindowTest : public qm::test::TempFolderTest {
protected:
    WindowTest() : TempFolderTest("ui") {}

    void SetUp() override {
        TempFolderTest::SetUp();
        std::filesystem::current_path(root);
        shell() = ScriptedShell{};
    }

    void TearDown() override {
        form.reset();
        TempFolderTest::TearDown();
    }

    static ScriptedShell& shell() { return applicationShell(); }

    /// Writes the profile file, one line per profile, before the window starts.
    void writeProfiles(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const std::string& line : lines)
            bytes += line + "\r\n";
        qm::test::writeFile(profileFile(), bytes);
    }

    std::string profileFile() const { return root + "/quillmark.txt"; }

    std::string readProfiles() const { return qm::test::readFile(profileFile()); }

    /// Creates and shows the window (which loads the profile file).
    qm::TForm1& start() {
        form = std::make_unique<qm::TForm1>(shell());
        form->show();
        return *form;
    }

    /// start() and "Click to Continue >".
    qm::TForm1& startOnList() {
        start();
        form->BitBtn2->click();
        return *form;
    }

    /// The page that shows; "mixed" when the pages' places disagree.
    std::string page() const {
        const bool welcome = form->BitBtn2->x() == 130;
        const bool list = form->Label25->x() == 232;
        const bool editor = form->Label26->x() == 232;
        if (welcome + list + editor != 1)
            return "mixed";
        return welcome ? "welcome" : list ? "list" : "editor";
    }

    std::string cell(int column, int row) const { return form->table().cell(column, row); }

    /// Clicks data row `row` of the grid.
    void clickRow(int row) {
        const QModelIndex index = form->table().index(row - 1, 1);
        const QRect rect = form->StringGrid1->visualRect(index);
        QTest::mouseClick(form->StringGrid1->viewport(), Qt::LeftButton, {}, rect.center());
    }

    int currentRow() const { return form->StringGrid1->currentIndex().row() + 1; }

    std::unique_ptr<qm::TForm1> form;
};

inline const char* const kDaily = "BackUP->Daily->/src/work->/dst/store->NEVER->Pending->NPAODF->";
inline const char* const kPhotos =
    "Syncro->Photos->/src/pictures->/dst/pictures->1/2/26 9:00:00 am->Done->APAODN->";
inline const char* const kMusic = "BackUP->Music->/src/music->/dst/music->NEVER->Pending->NPAODN->";
inline const char* const kMail = "BackUP->Mail->/src/mail->/dst/mail->NEVER->Pending->NPAODN->";
