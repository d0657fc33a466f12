#pragma once

#include <QWidget>

// One collapsible category of the left column: a header with its caption and a chevron.
// The category holds no items, so collapsing or expanding changes only its chevron.
class CategoryPanel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
    Q_PROPERTY(bool collapsed READ isCollapsed WRITE setCollapsed NOTIFY collapsedChanged)
public:
    static constexpr int HeaderHeight = 26;

    explicit CategoryPanel(QWidget* parent = nullptr);

    QString text() const { return caption; }
    void setText(const QString& text);
    bool isCollapsed() const { return collapsed; }
    void setCollapsed(bool on);

    QSize sizeHint() const override;

signals:
    void collapsedChanged(bool collapsed);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void paintChevron(QPainter& painter, const QRect& header) const;

    QString caption;
    bool collapsed = false;
    bool pressed = false;
};

// The column of categories docked to the window's left edge. Its categories stack from the
// top, each as wide as the column; the window keeps the column at its full client height.
class CategoryPanelGroup : public QWidget {
    Q_OBJECT
public:
    explicit CategoryPanelGroup(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void stackPanels();
};
