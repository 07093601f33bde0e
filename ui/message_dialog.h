#pragma once

#include "shell_services.h"

#include <QMessageBox>
#include <utility>
#include <vector>

namespace qm {

/// The modal message dialog: caption and icon of its kind, the buttons in their fixed order,
/// Enter on the default button (OK, else Yes, else Retry), Esc on the cancel button
/// (Cancel, else No, else OK), and 2 when its close box closes it.
class MessageDialog : public QMessageBox {
    Q_OBJECT
public:
    MessageDialog(const std::string& text, DialogKind kind, DialogButtons buttons,
                  QWidget* parent = nullptr);

    /// The result code of the button that closed the dialog; 2 for the close box or none.
    int resultCode() const;

    /// The button that returns `code`, or null.
    QAbstractButton* buttonFor(int code) const;

    /// CR LF and single CR start a new line.
    static QString displayText(const std::string& text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::vector<std::pair<QAbstractButton*, int>> codes_;
    bool closedByBox_ = false;
};

} // namespace qm
