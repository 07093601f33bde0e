// Pictures of the three pages under the desktop's light palette or a dark one, at the scale
// QT_SCALE_FACTOR gives:
//   qm-screenshots OUTDIR light|dark SUFFIX
// Runs on any platform; offscreen is enough, as the window draws everything itself.

#include "scripted_shell.h"
#include "unit1.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

namespace {

/// What a dark desktop theme hands every program.
QPalette darkDesktop() {
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::WindowText, QColor(0xdd, 0xdd, 0xdd));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::AlternateBase, QColor(0x33, 0x33, 0x33));
    dark.setColor(QPalette::Text, QColor(0xdd, 0xdd, 0xdd));
    dark.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
    dark.setColor(QPalette::ButtonText, QColor(0xdd, 0xdd, 0xdd));
    dark.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x77, 0x77, 0x77));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x77, 0x77, 0x77));
    return dark;
}

bool save(qm::TForm1& form, const QString& file) {
    QApplication::processEvents();
    if (!form.grab().save(file)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: qm-screenshots OUTDIR light|dark SUFFIX\n");
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString suffix = QString::fromLocal8Bit(argv[3]);
    if (QString::fromLocal8Bit(argv[2]) == "dark") {
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setPalette(darkDesktop());
    }

    QTemporaryDir start;
    QFile profiles(start.filePath("quillmark.txt"));
    if (!start.isValid() || !profiles.open(QIODevice::WriteOnly))
        return 1;
    profiles.write("BackUP->Documents->/home/user/Documents->/media/backup/documents->NEVER->"
                   "Pending->NPAODF->\r\n"
                   "Syncro->Photos->/home/user/Pictures->/media/backup/pictures->"
                   "1/12/26 9:14:03 am->Done->APAODN->\r\n");
    profiles.close();
    QDir::setCurrent(start.path());

    ScriptedShell shell;
    qm::TForm1 form(shell);
    form.show();
    if (!QTest::qWaitForWindowExposed(&form, 5000))
        std::fprintf(stderr, "window not exposed; drawing anyway\n");
    bool ok = save(form, out + "/welcome-page" + suffix + ".png");
    form.BitBtn2->click(); // "Click to Continue >"
    ok = save(form, out + "/profile-list-page" + suffix + ".png") && ok;
    form.Button5->click(); // "Edit Profile"
    ok = save(form, out + "/profile-editor-page" + suffix + ".png") && ok;
    QDir::setCurrent(QDir::tempPath());
    return ok ? 0 : 1;
}
