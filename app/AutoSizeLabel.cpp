#include "AutoSizeLabel.h"

AutoSizeLabel::AutoSizeLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
}

void AutoSizeLabel::setText(const QString& text) {
    QLabel::setText(text);
    if (autoSize)
        resize(sizeHint().width(), height());
}

void AutoSizeLabel::setAutoSize(bool on) {
    autoSize = on;
    if (autoSize && sizeHint().width() > width())
        resize(sizeHint().width(), height());
}
