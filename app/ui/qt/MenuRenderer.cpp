#include "app/ui/qt/MenuRenderer.hpp"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

namespace torvane {

namespace {

// What a row does when chosen; replaced when the row is updated in place.
class RowAction final : public QObject {
public:
    explicit RowAction(QAction* action) : QObject(action) {
        QObject::connect(action, &QAction::triggered, this, [this] {
            // A copy: the action may rebuild this very menu and so replace `run` while it runs.
            const std::function<void()> fn = run;
            if (fn)
                fn();
        });
    }
    std::function<void()> run;
};

// Brings one action in line with a row. Qt's setters do nothing for an unchanged value, and a
// changed one reaches a D-Bus tray as a small property update, not a new layout.
void update(QAction* action, const MenuItem& item) {
    action->setSeparator(item.separator);
    if (item.separator)
        return;
    action->setText(menuText(item.title));
    action->setEnabled(item.enabled);
    // Ticked rows and the choices of a group show a mark; other rows stay plain.
    action->setCheckable(item.checked || item.tag != 0);
    action->setChecked(item.checked);
    action->setData(item.tag != 0 ? QVariant(item.tag) : QVariant());
    if (item.keyEquivalent.size() == 1) {
        // The platform's command modifier: Ctrl here, Command on macOS.
        action->setShortcut(
            QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(item.keyEquivalent).toUpper()));
        action->setShortcutVisibleInContextMenu(true);
    } else {
        action->setShortcut(QKeySequence());
    }
    auto* row = action->findChild<RowAction*>(QString(), Qt::FindDirectChildrenOnly);
    (row ? row : new RowAction(action))->run = item.action;
}

// Whether the menu has the model's rows in the model's kinds (separator, submenu, plain), so that
// only their texts and states may differ.
bool sameShape(const Menu& model, const QMenu& menu) {
    const QList<QAction*> actions = menu.actions();
    if (actions.size() != static_cast<qsizetype>(model.size()))
        return false;
    for (std::size_t i = 0; i < model.size(); ++i) {
        const QAction* action = actions[static_cast<qsizetype>(i)];
        const MenuItem& item = model[i];
        if (action->isSeparator() != item.separator || (action->menu() != nullptr) != !item.submenu.empty() ||
            (action->menu() && !sameShape(item.submenu, *action->menu())))
            return false;
    }
    return true;
}

void updateInPlace(const Menu& model, QMenu& menu) {
    const QList<QAction*> actions = menu.actions();
    for (std::size_t i = 0; i < model.size(); ++i) {
        QAction* action = actions[static_cast<qsizetype>(i)];
        update(action, model[i]);
        if (action->menu())
            updateInPlace(model[i].submenu, *action->menu());
    }
}

// Replaces every row. The old rows are deleted by the event loop, not here: the menu may be rebuilt
// while one of its rows is still running its action (a modal alert opened from it).
void build(const Menu& model, QMenu& menu, QObject* platform) {
    for (QAction* action : menu.actions()) {
        menu.removeAction(action);
        if (QMenu* sub = action->menu(); sub && sub->parent() == &menu)
            sub->deleteLater();
        else if (action->parent() == &menu)
            action->deleteLater();
    }
    for (std::size_t i = 0; i < model.size(); ++i) {
        const MenuItem& item = model[i];
        QAction* action = nullptr;
        if (!item.submenu.empty()) {
            auto* sub = new QMenu(&menu);
            build(item.submenu, *sub, nullptr);
            action = sub->menuAction();
        } else {
            action = new QAction(&menu);
        }
        update(action, item);
        // Every added or removed row makes a D-Bus tray fetch the whole layout again: it hears of
        // the last one only.
        if (platform && i + 1 == model.size())
            platform->blockSignals(false);
        menu.addAction(action);
    }
    if (platform)
        platform->blockSignals(false);
}

} // namespace

QString menuText(const std::string& title) {
    QString text = QString::fromStdString(title);
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return text;
}

void renderMenu(const Menu& model, QMenu& menu) {
    if (sameShape(model, menu)) {
        updateInPlace(model, menu);
        return;
    }
    // The D-Bus menu behind a StatusNotifier tray, when there is one. QPlatformMenu's only base is
    // QObject, but its header is private to Qt, hence the cast.
    QObject* platform = reinterpret_cast<QObject*>(menu.platformMenu());
    if (platform)
        platform->blockSignals(true);
    build(model, menu, platform);
}

} // namespace torvane
