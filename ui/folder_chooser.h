#pragma once

#include <QComboBox>
#include <QFileDialog>
#include <functional>
#include <string>

class QAbstractItemView;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace qm {

/// Creates every missing level of `path`, parents first.
/// throw IoError(3, "Unable to create directory") for an empty path, or a bare name (no "/")
/// that does not exist relative to the current directory; IoError naming the level for a
/// level that cannot be made
void forceDirectories(const std::string& path);

/// The folder chooser's window: Qt's own directory dialog that also accepts a typed folder
/// that does not exist yet, after `confirmCreate` agreed to it. The path box holds the full
/// path of the folder selected in the list, all of it selected; the current folder's files
/// stand greyed beside the folders, for information only.
class FolderChooser : public QFileDialog {
    Q_OBJECT
public:
    using Confirm = std::function<bool()>;

    FolderChooser(const QString& startFolder, Confirm confirmCreate, QWidget* parent = nullptr);

    /// The edit box's text as it stood on OK; the shown folder when the box was empty.
    QString chosenText() const { return chosen_; }

    QLineEdit* pathEdit() const { return pathEdit_; }
    QPushButton* okButton() const { return okButton_; }
    QLabel* folderLabel() const { return folderLabel_; }
    QListWidget* fileList() const { return fileList_; }
    QLabel* fileLabel() const { return fileLabel_; }
    QComboBox* driveBox() const { return driveBox_; }
    QLabel* driveLabel() const { return driveLabel_; }

    void accept() override;

    /// Where the drive box reads the mount table from (readMountInfo when unset). Test seam.
    using MountTable = std::function<std::string()>;
    static void setMountTable(MountTable table);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    /// The folder selected in the list, or the shown folder when none is.
    QString selectedFolder() const;
    /// Puts the selected folder's full path into the path box, all text selected; unless
    /// `always`, a path typed over it stays until the user picks in the folder list.
    void showSelectedPath(bool always = false);
    void listFiles(const QString& folder);

    Confirm confirmCreate_;
    QAbstractItemView* folders_ = nullptr;
    QLineEdit* pathEdit_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QLabel* folderLabel_ = nullptr;
    QLabel* fileLabel_ = nullptr;
    QLabel* driveLabel_ = nullptr;
    QComboBox* driveBox_ = nullptr;
    QListWidget* fileList_ = nullptr;
    QString chosen_;
    QString lastShown_;        ///< the path this chooser last put into the box
    bool typedByUser_ = false; ///< the box holds what the user typed
};

} // namespace qm
