#include "message_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPushButton>

namespace qm {

namespace {

struct ButtonSpec {
    DialogButton button;
    const char* caption;
    int code;
};

// Left-to-right order of the buttons.
constexpr ButtonSpec kButtons[] = {
    {ButtonYes, "&Yes", ResultYes},
    {ButtonNo, "&No", ResultNo},
    {ButtonOk, "OK", ResultOk},
    {ButtonCancel, "Cancel", ResultCancel},
    {ButtonAbort, "&Abort", ResultAbort},
    {ButtonRetry, "&Retry", ResultRetry},
    {ButtonIgnore, "&Ignore", ResultIgnore},
    {ButtonAll, "&All", ResultAll},
    {ButtonNoToAll, "N&o to All", ResultNoToAll},
    {ButtonYesToAll, "Yes to &All", ResultYesToAll},
};

QString captionOf(DialogKind kind) {
    switch (kind) {
    case DialogKind::Warning:
        return QStringLiteral("Warning");
    case DialogKind::Error:
        return QStringLiteral("Error");
    case DialogKind::Information:
        return QStringLiteral("Information");
    case DialogKind::Confirmation:
        return QStringLiteral("Confirm");
    case DialogKind::Custom:
        break;
    }
    return QCoreApplication::applicationName();
}

QMessageBox::Icon iconOf(DialogKind kind) {
    switch (kind) {
    case DialogKind::Warning:
        return QMessageBox::Warning;
    case DialogKind::Error:
        return QMessageBox::Critical;
    case DialogKind::Information:
        return QMessageBox::Information;
    case DialogKind::Confirmation:
        return QMessageBox::Question;
    case DialogKind::Custom:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

MessageDialog::MessageDialog(const std::string& text, DialogKind kind, DialogButtons buttons,
                             QWidget* parent)
    : QMessageBox(parent) {
    setWindowTitle(captionOf(kind));
    setIcon(iconOf(kind));
    setTextFormat(Qt::PlainText);
    setText(displayText(text));
    for (const ButtonSpec& spec : kButtons) {
        if (!(buttons & spec.button))
            continue;
        // One role for all keeps the order the same under every desktop's button layout.
        QPushButton* button = addButton(QString::fromLatin1(spec.caption), ActionRole);
        codes_.emplace_back(button, spec.code);
    }
    for (int code : {ResultOk, ResultYes, ResultRetry}) {
        if (auto* button = qobject_cast<QPushButton*>(buttonFor(code))) {
            setDefaultButton(button);
            break;
        }
    }
    for (int code : {ResultCancel, ResultNo, ResultOk}) {
        if (QAbstractButton* button = buttonFor(code)) {
            setEscapeButton(button);
            break;
        }
    }
}

QAbstractButton* MessageDialog::buttonFor(int code) const {
    for (const auto& [button, buttonCode] : codes_)
        if (buttonCode == code)
            return button;
    return nullptr;
}

int MessageDialog::resultCode() const {
    if (closedByBox_)
        return ResultCancel;
    for (const auto& [button, code] : codes_)
        if (button == clickedButton())
            return code;
    return ResultCancel;
}

QString MessageDialog::displayText(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void MessageDialog::closeEvent(QCloseEvent* event) {
    // Esc clicks the cancel button before any close; only the close box arrives here bare.
    if (!clickedButton())
        closedByBox_ = true;
    QMessageBox::closeEvent(event);
    if (!event->isAccepted() && closedByBox_) {
        event->accept();
        done(ResultCancel);
    }
}

} // namespace qm
