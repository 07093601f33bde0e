#include "controls.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSvgRenderer>

namespace qm {

SvgPicture::SvgPicture(const QString& resource, QWidget* parent)
    : QWidget(parent), renderer_(new QSvgRenderer(resource, this)) {}

void SvgPicture::paintEvent(QPaintEvent* event) {
    const qreal scale = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * scale).toSize();
    if (cache_.size() != pixels || cache_.devicePixelRatio() != scale) {
        cache_ = QPixmap(pixels);
        cache_.setDevicePixelRatio(scale);
        cache_.fill(Qt::transparent);
        QPainter painter(&cache_);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer_->render(&painter, QRectF(rect()));
    }
    QPainter painter(this);
    const QRect area = event->rect();
    painter.drawPixmap(area, cache_,
                       QRectF(QPointF(area.topLeft()) * scale, QSizeF(area.size()) * scale));
}

namespace {

/// A click is a left press and release over the same control.
bool endsClick(bool& pressed, const QWidget* control, const QMouseEvent* event) {
    const bool click = pressed && event->button() == Qt::LeftButton &&
                       control->rect().contains(event->position().toPoint());
    pressed = false;
    return click;
}

} // namespace

void SvgPicture::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
}

void SvgPicture::mouseReleaseEvent(QMouseEvent* event) {
    if (endsClick(pressed_, this, event))
        emit clicked();
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (endsClick(pressed_, this, event))
        emit clicked();
}

PairedRadioButton::PairedRadioButton(QWidget* parent) : QRadioButton(parent) {
    setAutoExclusive(false);
}

void PairedRadioButton::pairWith(QRadioButton* other) {
    connect(this, &QRadioButton::toggled, other, [other](bool checked) {
        if (checked)
            other->setChecked(false);
    });
}

void PairedRadioButton::nextCheckState() {
    if (!isChecked())
        setChecked(true);
}

ProfileGrid::ProfileGrid(QWidget* parent) : QTableView(parent) {
    // The header row selects nothing; its borders still resize the columns.
    horizontalHeader()->setSectionsClickable(false);
    connect(horizontalHeader(), &QHeaderView::sectionDoubleClicked, this,
            &ProfileGrid::gridDoubleClicked);
}

void ProfileGrid::mousePressEvent(QMouseEvent* event) {
    if (locked()) {
        event->accept();
        return;
    }
    QTableView::mousePressEvent(event);
}

void ProfileGrid::mouseMoveEvent(QMouseEvent* event) {
    if (locked()) {
        event->accept();
        return;
    }
    QTableView::mouseMoveEvent(event);
}

void ProfileGrid::mouseReleaseEvent(QMouseEvent* event) {
    if (locked()) {
        event->accept();
        return;
    }
    QTableView::mouseReleaseEvent(event);
}

void ProfileGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!locked())
        QTableView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit gridDoubleClicked();
}

void ProfileGrid::keyPressEvent(QKeyEvent* event) {
    const bool focusKey = event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab;
    if (locked() && !focusKey) {
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

} // namespace qm
