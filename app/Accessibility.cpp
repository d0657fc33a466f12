#include "Accessibility.h"

#include "CategoryPanelGroup.h"
#include "TForm1.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include <utility>

namespace {

// The header draws itself, so Qt would offer it as a nameless client area.
class CategoryPanelAccessible : public QAccessibleWidget {
public:
    explicit CategoryPanelAccessible(CategoryPanel* panel)
        : QAccessibleWidget(panel, QAccessible::Button) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name && panel()->accessibleName().isEmpty())
            return panel()->text();
        return QAccessibleWidget::text(kind);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.expandable = true;
        state.expanded = !panel()->isCollapsed();
        state.collapsed = panel()->isCollapsed();
        return state;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override {
        if (action == pressAction())
            panel()->setCollapsed(!panel()->isCollapsed());
    }

private:
    CategoryPanel* panel() const { return static_cast<CategoryPanel*>(widget()); }
};

QAccessibleInterface* CategoryPanelInterface(const QString& className, QObject* object) {
    auto* panel = qobject_cast<CategoryPanel*>(object);
    if (!panel || className != QLatin1String(CategoryPanel::staticMetaObject.className()))
        return nullptr;
    return new CategoryPanelAccessible(panel);
}

void AnnounceExpansion(CategoryPanel* panel) {
    QObject::connect(panel, &CategoryPanel::collapsedChanged, panel, [panel] {
        QAccessible::State changed;
        changed.expanded = true;
        changed.collapsed = true;
        QAccessibleStateChangeEvent event(panel, changed);
        QAccessible::updateAccessibility(&event);
    });
}

void NameControls(const TForm1& window) {
    const std::pair<QWidget*, const char*> names[] = {
        {window.Memo4, "Encoder replies"},           {window.Memo5, "Upgrade log"},
        {window.ProgressBar4, "Sending image file"}, {window.ProgressBar5, "Erasing flash"},
        {window.ProgressBar1, "Programming flash"},
    };
    for (const auto& [control, name] : names)
        control->setAccessibleName(QString::fromLatin1(name));
    window.Label452->setBuddy(window.EHost);
    window.Label37->setBuddy(window.Edit4);
}

// A label showing a figure is read as the figure; its caption tells what the figure is.
void DescribeFigures(const TForm1& window) {
    const std::pair<QWidget*, const char*> captions[] = {
        {window.Label443, "Selected file"},
        {window.Label445, "File size (byte)"},
        {window.Label277, "Share of the encoder's program memory the file fills"},
        {window.Label451, "File checksum"},
        {window.Label453, "Date and Time"},
        {window.Label440, "Remote Host"},
        {window.Label441, "Remote Port"},
        {window.Label442, "Host name"},
        {window.Label447, "Host address"},
    };
    for (const auto& [label, caption] : captions)
        label->setAccessibleDescription(QString::fromLatin1(caption));
}

} // namespace

void DescribeControls(TForm1& window) {
    static const bool installed = [] {
        QAccessible::installFactory(CategoryPanelInterface);
        return true;
    }();
    Q_UNUSED(installed)
    for (CategoryPanel* panel : window.findChildren<CategoryPanel*>())
        AnnounceExpansion(panel);
    NameControls(window);
    DescribeFigures(window);
}
