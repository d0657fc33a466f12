#pragma once

#include <QLabel>

// A label that sizes itself to its text: each new text keeps the label's left, top and height
// and fits its width, so a long path or sentence is never clipped at the designed width.
// Until the window arms it, the label keeps its designed geometry; arming only widens it
// where this machine's font draws the initial text wider than the design.
class AutoSizeLabel : public QLabel {
    Q_OBJECT
public:
    explicit AutoSizeLabel(QWidget* parent = nullptr);

    // Hides QLabel::setText so that every text set through the window's members resizes.
    void setText(const QString& text);
    void setAutoSize(bool on);
    bool isAutoSize() const { return autoSize; }

private:
    bool autoSize = false;
};
