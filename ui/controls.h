#pragma once

#include <QLabel>
#include <QPixmap>
#include <QRadioButton>
#include <QTableView>
#include <functional>

class QSvgRenderer;

namespace qm {

/// A picture drawn from an SVG resource at any scale; emits clicked() on a left click.
class SvgPicture : public QWidget {
    Q_OBJECT
public:
    SvgPicture(const QString& resource, QWidget* parent);

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QSvgRenderer* renderer_;
    /// The picture drawn once per size and scale: a run repaints the controls on top of it
    /// many times a second.
    QPixmap cache_;
    bool pressed_ = false;
};

/// A label that emits clicked() on a left click.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool pressed_ = false;
};

/// A radio button that is a focus stop of its own: Qt's exclusive groups let Tab reach only
/// the checked button, so the pair keeps itself exclusive through partner().
class PairedRadioButton : public QRadioButton {
    Q_OBJECT
public:
    explicit PairedRadioButton(QWidget* parent);
    /// Checking this button unchecks `other`.
    void pairWith(QRadioButton* other);

protected:
    void nextCheckState() override; // a click never unchecks
};

/// The profile grid. While `locked` says so, clicks and keys cannot move its current row
/// (the program still can); a double-click anywhere emits gridDoubleClicked().
class ProfileGrid : public QTableView {
    Q_OBJECT
public:
    explicit ProfileGrid(QWidget* parent);

    void setLock(std::function<bool()> locked) { locked_ = std::move(locked); }
    bool locked() const { return locked_ && locked_(); }

signals:
    void gridDoubleClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::function<bool()> locked_;
};

} // namespace qm
