// The window's controls: what each one shows, its size, and its place on its page.

#include "controls.h"
#include "profile_table.h"
#include "unit1.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>

namespace qm {

namespace {

QFont pixelFont(int pixels, bool bold) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    // DejaVu Sans runs wider than the captions' widths allow; a narrower cut fits them.
    font.setStretch(QFont::SemiCondensed);
    return font;
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

/// The window's artwork is light whatever the desktop's theme: its text, fields and buttons
/// keep light colours of their own so that every text stays readable on it.
QPalette artworkPalette() {
    const QColor text(Qt::black);
    const QColor button(0xef, 0xef, 0xef);
    QPalette palette(text, button, Qt::white, QColor(0x9f, 0x9f, 0x9f), QColor(0xb8, 0xb8, 0xb8),
                     text, Qt::white, Qt::white, Qt::white);
    palette.setColor(QPalette::AlternateBase, QColor(0xf7, 0xf7, 0xf7));
    palette.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xdc));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x00, 0x00, 0xff));
    palette.setColor(QPalette::Shadow, QColor(0x76, 0x76, 0x76));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, QColor(0x78, 0x78, 0x78));
    palette.setColor(QPalette::Disabled, QPalette::Base, button);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x91, 0x91, 0x91));
    return palette;
}

} // namespace

void TForm1::createControls() {
    setFont(pixelFont(11, false));
    setPalette(artworkPalette());
    QWidget* c = client_;
    auto name = [](QWidget* w, const char* objectName) {
        w->setObjectName(QLatin1String(objectName));
        return w;
    };
    auto label = [&](const char* objectName, const QString& text, int pixels, bool bold) {
        auto* l = new QLabel(text, c);
        name(l, objectName);
        l->setFont(pixelFont(pixels, bold));
        return l;
    };
    auto button = [&](const char* objectName, const QString& text, int w, int h) {
        auto* b = new QPushButton(text, c);
        name(b, objectName);
        b->resize(w, h);
        b->setAutoDefault(false);
        return b;
    };
    auto wrapped = [](QLabel* l, int w, int h) {
        l->setWordWrap(true);
        l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        l->resize(w, h);
    };

    // In place on every page; the background lies beneath everything else.
    Image3 = new SvgPicture(QStringLiteral(":/quillmark/background.svg"), c);
    name(Image3, "Image3");
    Image3->setGeometry(0, 0, ClientWidth, ClientHeight);
    Image11 = new SvgPicture(QStringLiteral(":/quillmark/close.svg"), c);
    name(Image11, "Image11");
    Image11->setGeometry(370, 5, 39, 34);
    Image11->setClickable(true);
    Image11->setCursor(Qt::PointingHandCursor);
    Image11->setToolTip(QStringLiteral("Close"));
    Image11->setAccessibleName(QStringLiteral("Close"));
    Image11->setAccessibleDescription(
        QStringLiteral("Back to the welcome page; on the welcome page, quit"));
    Image11->setFocusPolicy(Qt::StrongFocus);
    Label22 =
        new ClickLabel(QStringLiteral("By using this application you accept the terms of use "), c);
    name(Label22, "Label22");
    QFont underlined = pixelFont(11, false);
    underlined.setUnderline(true);
    Label22->setFont(underlined);
    setTextColour(Label22, QColor(0xc0, 0xc0, 0xc0));
    Label22->move(80, 570);
    Label22->adjustSize(); // the whole sentence, in whatever width the font needs
    Label22->setCursor(Qt::PointingHandCursor);
    Label22->setAccessibleName(QStringLiteral("Terms of use"));
    Label22->setAccessibleDescription(QStringLiteral("Opens the terms of use in a PDF viewer"));
    Label22->setFocusPolicy(Qt::StrongFocus);

    // Welcome page.
    Label27 = label("Label27",
                    QStringLiteral("This FREEWARE utility will assist by making the painstaking "
                                   "back-up process easier, faster and more efficient. "),
                    11, true);
    wrapped(Label27, 234, 39);
    setTextColour(Label27, Qt::black);
    Image9 = new SvgPicture(QStringLiteral(":/quillmark/welcome.svg"), c);
    name(Image9, "Image9");
    Image9->resize(300, 100);
    Label23 = label("Label23",
                    QStringLiteral("IMPORTANT NOTICE!  It is essential to BACK-UP all your data "
                                   "files on your computer DAILY to prevent the agony of data loss "
                                   "due to equipment malfunction or computer theft."),
                    11, true);
    wrapped(Label23, 287, 52);
    setTextColour(Label23, Qt::red);
    Label9 = label("Label9",
                   QStringLiteral("Quillmark keeps your work safe: one click copies what changed "
                                  "to your backup drive, or keeps two folders in step."),
                   11, true);
    wrapped(Label9, 320, 52);
    setTextColour(Label9, Qt::black);
    BitBtn2 = button("BitBtn2", QStringLiteral("Click to Continue >"), 161, 22);
    BitBtn2->setFont(pixelFont(11, true));
    BitBtn2->setCursor(Qt::PointingHandCursor);

    // Profile list page.
    Label25 =
        label("Label25",
              QStringLiteral("Select the backup / synchronize profile you would like to run..."),
              11, true);
    Label25->setWordWrap(true);
    Label25->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label25->resize(97, Label25->heightForWidth(97));
    setTextColour(Label25, Qt::white);

    StringGrid1 = new ProfileGrid(c);
    name(StringGrid1, "StringGrid1");
    StringGrid1->resize(302, 113);
    StringGrid1->setModel(table_);
    StringGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    StringGrid1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid1->setShowGrid(true);
    StringGrid1->setWordWrap(false);
    StringGrid1->setTabKeyNavigation(false); // Tab leaves the grid
    StringGrid1->setTextElideMode(Qt::ElideNone);
    StringGrid1->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    StringGrid1->verticalHeader()->hide();
    StringGrid1->verticalHeader()->setMinimumSectionSize(17);
    StringGrid1->verticalHeader()->setDefaultSectionSize(17);
    StringGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    StringGrid1->horizontalHeader()->setFixedHeight(18);
    StringGrid1->horizontalHeader()->setHighlightSections(false);
    StringGrid1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StringGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    StringGrid1->horizontalHeader()->setMinimumSectionSize(8);
    const int widths[] = {46, 133, 159, 162, 120, 65, 64};
    for (int column = 0; column < ProfileTable::ColumnCount; ++column)
        StringGrid1->setColumnWidth(column, widths[column]);
    StringGrid1->setLock([this] { return state_.busyFlag == 1; });
    StringGrid1->setAccessibleName(QStringLiteral("Profiles"));

    Button6 = button("Button6", QStringLiteral("New Profile"), 75, 17);
    Button5 = button("Button5", QStringLiteral("Edit Profile"), 75, 17);
    Button7 = button("Button7", QStringLiteral("Delete Profile"), 75, 17);
    Label20 = label("Label20", QString(), 11, true);
    Label21 = label("Label21", QString(), 11, false);
    Label7 = label("Label7", QString(), 11, false);
    Label8 = label("Label8", QString(), 11, false);
    Label3 = label("Label3", QString(), 11, false);
    for (QLabel* detail : {Label20, Label21, Label7, Label8, Label3})
        detail->setTextFormat(Qt::PlainText);
    Memo1 = new QPlainTextEdit(c);
    name(Memo1, "Memo1");
    Memo1->resize(322, 97);
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setFocusPolicy(Qt::NoFocus);
    Memo1->setAccessibleName(QStringLiteral("Run log"));
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    ProgressBar1 = new QProgressBar(c);
    name(ProgressBar1, "ProgressBar1");
    ProgressBar1->resize(361, 20);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setAccessibleName(QStringLiteral("Progress"));
    StatusBar1 = new QStatusBar(c);
    name(StatusBar1, "StatusBar1");
    StatusBar1->resize(361, 20);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setAccessibleName(QStringLiteral("Status"));
    StatusBar1->setStyleSheet(
        QStringLiteral("QStatusBar { background: white; border: 1px solid #a0a4aa; }"));
    Button16 = button("Button16", QStringLiteral("Run Selected Profile"), 129, 17);
    Button1 = button("Button1", QStringLiteral("Run All Profiles"), 97, 17);
    for (QPushButton* run : {Button16, Button1}) {
        run->setFont(pixelFont(11, true));
        run->setCursor(Qt::PointingHandCursor);
    }

    // Profile editor page.
    Label26 = label("Label26", QString(), 13, true);
    wrapped(Label26, 97, 64);
    setTextColour(Label26, Qt::white);
    // "&" marks each text box's access key; its label hands the focus on.
    Label5 = label("Label5", QStringLiteral("Profile &Name"), 11, true);
    Edit4 = new QLineEdit(c);
    name(Edit4, "Edit4");
    Edit4->resize(217, 21);
    Edit4->setMaxLength(24);
    Image7 = new SvgPicture(QStringLiteral(":/quillmark/editor.svg"), c);
    name(Image7, "Image7");
    Image7->resize(165, 40);
    auto* backupMode = new PairedRadioButton(c);
    auto* syncMode = new PairedRadioButton(c);
    backupMode->pairWith(syncMode);
    syncMode->pairWith(backupMode);
    RadioButton1 = backupMode;
    name(RadioButton1, "RadioButton1");
    RadioButton2 = syncMode;
    name(RadioButton2, "RadioButton2");
    // Radio buttons do not wrap their text: a label beside each one does.
    const std::pair<QRadioButton*, QString> radios[] = {
        {RadioButton1, QStringLiteral("Backup mode only (From Source to Target )")},
        {RadioButton2, QStringLiteral("Synchronization mode  (Between Source and Target)")}};
    for (const auto& [radio, text] : radios) {
        radio->setAccessibleName(text);
        radio->setToolTip(text);
        auto* caption = new ClickLabel(text, radio);
        caption->setObjectName(radio->objectName() + QStringLiteral("Caption"));
        caption->setWordWrap(true);
        caption->setTextFormat(Qt::PlainText);
        connect(caption, &ClickLabel::clicked, radio, [radio] {
            if (radio->isEnabled())
                radio->click();
        });
    }
    RadioButton1->resize(137, 35);
    RadioButton2->resize(161, 35);
    for (QRadioButton* radio : {RadioButton1, RadioButton2}) {
        auto* caption = radio->findChild<ClickLabel*>();
        caption->setGeometry(18, 0, radio->width() - 18, radio->height());
        caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        fitWrappedCaption(caption);
    }
    RadioButton1->setChecked(true);
    Label1 = label("Label1", QStringLiteral("&Source/Location"), 11, true);
    Edit1 = new QLineEdit(c);
    name(Edit1, "Edit1");
    Edit1->resize(329, 21);
    Edit1->setReadOnly(true);
    Button18 = button("Button18", QStringLiteral("Browse"), 89, 17);
    automydocs = button("automydocs", QStringLiteral("Auto Locate [My Documents]"), 161, 17);
    autodesktop = button("autodesktop", QStringLiteral("Auto Locate [Desktop]"), 129, 17);
    autoemail = button("autoemail", QStringLiteral("Auto Locate [User Folder]"), 129, 17);
    Label2 = label("Label2", QStringLiteral("&Target/Destination"), 11, true);
    Edit2 = new QLineEdit(c);
    name(Edit2, "Edit2");
    Edit2->resize(319, 21);
    Edit2->setReadOnly(true);
    Button2 = button("Button2", QStringLiteral("Browse"), 65, 17);
    Label4 = label("Label4", QStringLiteral("Options"), 11, true);
    CheckBox3 = new QCheckBox(QStringLiteral("Always Prompt me for action on file Overwrites"), c);
    name(CheckBox3, "CheckBox3");
    CheckBox3->resize(265, 17);
    CheckBox5 = new QCheckBox(c);
    name(CheckBox5, "CheckBox5");
    CheckBox5->resize(321, 25);
    {
        const QString text = QStringLiteral(
            "Create Datestamped Folder inside Target/Destination Folder (Backup Mode only)");
        CheckBox5->setAccessibleName(text);
        auto* caption = new ClickLabel(text, CheckBox5);
        caption->setObjectName(QStringLiteral("CheckBox5Caption"));
        caption->setWordWrap(true);
        caption->setTextFormat(Qt::PlainText);
        caption->setGeometry(18, 0, CheckBox5->width() - 18, CheckBox5->height());
        caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        fitWrappedCaption(caption);
        connect(caption, &ClickLabel::clicked, CheckBox5, [this] {
            if (CheckBox5->isEnabled())
                CheckBox5->click();
        });
    }
    for (QLabel* caption : {Label5, Label1, Label2, Label4})
        caption->adjustSize();
    Label5->setBuddy(Edit4);
    Label1->setBuddy(Edit1);
    Label2->setBuddy(Edit2);
    Edit4->setAccessibleName(QStringLiteral("Profile Name"));
    Edit1->setAccessibleName(QStringLiteral("Source/Location"));
    Edit2->setAccessibleName(QStringLiteral("Target/Destination"));
    Button4 = button("Button4", QStringLiteral("Cancel"), 75, 17);
    Button15 = button("Button15", QStringLiteral("Save Profile"), 75, 17);
    Button15->setEnabled(false);

    // Never shown; their places lie beyond the client area.
    Button3 =
        button("Button3", QStringLiteral("Continue to Backup / Syncronize my files"), 161, 22);
    Button3->move(520, 508);
    Button17 = button("Button17", QStringLiteral("X"), 25, 25);
    Button17->move(520, 8);
    Button8 = button("Button8", QStringLiteral("button 8"), 75, 25);
    Button8->move(520, 40);
    for (QPushButton* hidden : {Button3, Button17, Button8})
        hidden->setFocusPolicy(Qt::NoFocus);

    welcomePage_ = {{Label27, 120, 144, Qt::NoFocus},
                    {Image9, 60, 200, Qt::NoFocus},
                    {Label23, 60, 320, Qt::NoFocus},
                    {Label9, 50, 400, Qt::NoFocus},
                    {BitBtn2, 130, 508, Qt::StrongFocus}};
    listPage_ = {{Label25, 232, 26, Qt::NoFocus},      {StringGrid1, 83, 128, Qt::StrongFocus},
                 {Button6, 82, 242, Qt::StrongFocus},  {Button5, 160, 242, Qt::StrongFocus},
                 {Button7, 310, 242, Qt::StrongFocus}, {Label20, 50, 268, Qt::NoFocus},
                 {Label21, 42, 281, Qt::NoFocus},      {Label7, 42, 294, Qt::NoFocus},
                 {Label8, 42, 307, Qt::NoFocus},       {Label3, 42, 320, Qt::NoFocus},
                 {Memo1, 46, 336, Qt::NoFocus},        {ProgressBar1, 24, 434, Qt::NoFocus},
                 {StatusBar1, 24, 452, Qt::NoFocus},   {Button16, 72, 508, Qt::StrongFocus},
                 {Button1, 240, 508, Qt::StrongFocus}};
    editorPage_ = {{Label26, 232, 26, Qt::NoFocus},
                   {Label5, 88, 138, Qt::NoFocus},
                   {Edit4, 168, 138, Qt::StrongFocus},
                   {Image7, 56, 176, Qt::NoFocus},
                   {RadioButton1, 224, 162, Qt::StrongFocus},
                   {RadioButton2, 224, 195, Qt::StrongFocus},
                   {Label1, 56, 227, Qt::NoFocus},
                   {Edit1, 56, 242, Qt::StrongFocus},
                   {Button18, 56, 264, Qt::StrongFocus},
                   {automydocs, 200, 264, Qt::StrongFocus},
                   {autodesktop, 56, 288, Qt::StrongFocus},
                   {autoemail, 232, 288, Qt::StrongFocus},
                   {Label2, 50, 325, Qt::NoFocus},
                   {Edit2, 50, 340, Qt::StrongFocus},
                   {Button2, 50, 362, Qt::StrongFocus},
                   {Label4, 45, 400, Qt::NoFocus},
                   {CheckBox3, 35, 416, Qt::StrongFocus},
                   {CheckBox5, 35, 432, Qt::StrongFocus},
                   {Button4, 78, 508, Qt::StrongFocus},
                   {Button15, 264, 508, Qt::StrongFocus}};
    // Every page control starts at its page place; FormCreate hides two of the pages.
    for (const auto* page : {&welcomePage_, &listPage_, &editorPage_})
        for (const Place& place : *page)
            place.control->move(place.left, place.top);
    Image3->lower();
    Image11->raise();
}

} // namespace qm
