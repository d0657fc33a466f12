#include "CategoryPanelGroup.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

CategoryPanel::CategoryPanel(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CategoryPanel::setText(const QString& text) {
    caption = text;
    update();
}

void CategoryPanel::setCollapsed(bool on) {
    if (on == collapsed)
        return;
    collapsed = on;
    update();
    emit collapsedChanged(collapsed);
}

QSize CategoryPanel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(caption) + 40, HeaderHeight};
}

void CategoryPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect header(0, 0, width(), HeaderHeight);
    const QColor face = palette().color(QPalette::Button);
    QLinearGradient gradient(header.topLeft(), header.bottomLeft());
    gradient.setColorAt(0, pressed ? face.darker(108) : face.lighter(112));
    gradient.setColorAt(1, pressed ? face.darker(118) : face.darker(108));
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.fillRect(header, gradient);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(header.bottomLeft(), header.bottomRight());

    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(header.adjusted(8, 0, -28, 0), Qt::AlignLeft | Qt::AlignVCenter, caption);
    paintChevron(painter, header);
}

// A double chevron at the right of the header: pointing up while expanded, down while collapsed.
void CategoryPanel::paintChevron(QPainter& painter, const QRect& header) const {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1.3));
    const QPointF centre(header.right() - 13, header.center().y() + 0.5);
    const qreal tip = collapsed ? 2.5 : -2.5;
    for (const qreal offset : {-2.5, 2.5}) {
        QPainterPath stroke;
        stroke.moveTo(centre + QPointF(-4, offset - tip));
        stroke.lineTo(centre + QPointF(0, offset + tip));
        stroke.lineTo(centre + QPointF(4, offset - tip));
        painter.drawPath(stroke);
    }
}

void CategoryPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || event->position().y() >= HeaderHeight)
        return QWidget::mousePressEvent(event);
    pressed = true;
    update();
}

void CategoryPanel::mouseReleaseEvent(QMouseEvent* event) {
    if (!pressed || event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    pressed = false;
    update();
    const QRect header(0, 0, width(), HeaderHeight);
    if (header.contains(event->position().toPoint()))
        setCollapsed(!collapsed);
}

CategoryPanelGroup::CategoryPanelGroup(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(true);
}

void CategoryPanelGroup::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(width() - 1, 0, width() - 1, height());
}

void CategoryPanelGroup::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    stackPanels();
}

// Categories keep their own height; only their width follows the column.
void CategoryPanelGroup::stackPanels() {
    int top = 0;
    for (QObject* child : children()) {
        auto* panel = qobject_cast<CategoryPanel*>(child);
        if (!panel)
            continue;
        panel->setGeometry(0, top, width(), panel->height());
        top += panel->height();
    }
}
