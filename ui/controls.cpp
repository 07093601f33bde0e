#include "controls.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QSvgRenderer>

namespace qm {

namespace {

void drawFocusFrame(QWidget* control) {
    if (!control->hasFocus())
        return;
    QPainter painter(control);
    QStyleOptionFocusRect option;
    option.initFrom(control);
    option.rect = control->rect();
    control->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, control);
}

bool isPressKey(const QKeyEvent* event) {
    return event->modifiers() == Qt::NoModifier &&
           (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return ||
            event->key() == Qt::Key_Enter);
}

/// A click is a left press and release over the same control.
bool endsClick(bool& pressed, const QWidget* control, const QMouseEvent* event) {
    const bool click = pressed && event->button() == Qt::LeftButton &&
                       control->rect().contains(event->position().toPoint());
    pressed = false;
    return click;
}

} // namespace

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
    painter.end();
    drawFocusFrame(this);
}

void SvgPicture::mousePressEvent(QMouseEvent* event) {
    if (!clickable_) {
        event->ignore();
        return;
    }
    pressed_ = event->button() == Qt::LeftButton;
}

void SvgPicture::mouseMoveEvent(QMouseEvent* event) {
    if (!clickable_)
        event->ignore();
}

void SvgPicture::mouseReleaseEvent(QMouseEvent* event) {
    if (!clickable_) {
        event->ignore();
        return;
    }
    if (endsClick(pressed_, this, event))
        emit clicked();
}

void SvgPicture::keyPressEvent(QKeyEvent* event) {
    if (clickable_ && isPressKey(event)) {
        emit clicked();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ClickLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    drawFocusFrame(this);
}

void ClickLabel::keyPressEvent(QKeyEvent* event) {
    if (isPressKey(event)) {
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (endsClick(pressed_, this, event))
        emit clicked();
}

void fitWrappedCaption(QLabel* caption) {
    QFont font = caption->font();
    const int height = caption->height();
    const int width = caption->width();
    for (int pixels = font.pixelSize(); pixels >= 9; --pixels) {
        for (int stretch : {QFont::SemiCondensed, QFont::Condensed}) {
            font.setPixelSize(pixels);
            font.setStretch(stretch);
            caption->setFont(font);
            if (caption->heightForWidth(width) <= height)
                return;
        }
    }
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
