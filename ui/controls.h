#pragma once

#include <QLabel>
#include <QPixmap>
#include <QRadioButton>
#include <QTableView>
#include <functional>

class QSvgRenderer;

namespace qm {

/// A picture drawn from an SVG resource at any scale. A clickable one emits clicked() on a
/// left click and, when it has the focus, on Space or Enter; any other lets the mouse through
/// to the window beneath (which moves on a drag).
class SvgPicture : public QWidget {
    Q_OBJECT
public:
    SvgPicture(const QString& resource, QWidget* parent);

    void setClickable(bool clickable) { clickable_ = clickable; }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QSvgRenderer* renderer_;
    bool clickable_ = false;
    /// The picture drawn once per size and scale: a run repaints the controls on top of it
    /// many times a second.
    QPixmap cache_;
    bool pressed_ = false;
};

/// A label that emits clicked() on a left click and, when it has the focus, on Space or
/// Enter.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool pressed_ = false;
};

/// Gives a wrapped caption the largest of the window's fonts (down to 9 pixels, narrower
/// cuts first) in which its text fits its fixed size.
void fitWrappedCaption(QLabel* caption);

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
