#pragma once

#include <QFileDialog>
#include <functional>
#include <string>

class QLineEdit;
class QPushButton;

namespace qm {

/// Creates every missing level of `path`, parents first; a level that cannot be made ends
/// the creation silently.
/// throw IoError(3, "Unable to create directory") for an empty path, or a bare name (no "/")
/// that does not exist relative to the current directory.
void forceDirectories(const std::string& path);

/// The folder chooser's window: Qt's own directory dialog that also accepts a typed folder
/// that does not exist yet, after `confirmCreate` agreed to it.
class FolderChooser : public QFileDialog {
    Q_OBJECT
public:
    using Confirm = std::function<bool()>;

    FolderChooser(const QString& startFolder, Confirm confirmCreate, QWidget* parent = nullptr);

    /// The edit box's text as it stood on OK; the shown folder when the box was empty.
    QString chosenText() const { return chosen_; }

    QLineEdit* pathEdit() const { return pathEdit_; }
    QPushButton* okButton() const { return okButton_; }

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Confirm confirmCreate_;
    QLineEdit* pathEdit_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QString chosen_;
};

} // namespace qm
