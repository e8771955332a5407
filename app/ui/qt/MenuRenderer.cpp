#include "app/ui/qt/MenuRenderer.hpp"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

namespace torvane {

namespace {

void fill(const Menu& model, QMenu& menu) {
    for (const MenuItem& item : model) {
        if (item.separator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = nullptr;
        if (!item.submenu.empty()) {
            QMenu* sub = menu.addMenu(menuText(item.title));
            fill(item.submenu, *sub);
            action = sub->menuAction();
        } else {
            action = menu.addAction(menuText(item.title));
        }
        action->setEnabled(item.enabled);
        // Ticked rows and the choices of a group show a mark; other rows stay plain.
        action->setCheckable(item.checked || item.tag != 0);
        action->setChecked(item.checked);
        if (item.tag != 0)
            action->setData(item.tag);
        if (item.keyEquivalent.size() == 1) {
            // The platform's command modifier: Ctrl here, Command on macOS.
            action->setShortcut(
                QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(item.keyEquivalent).toUpper()));
            action->setShortcutVisibleInContextMenu(true);
        }
        if (item.action)
            QObject::connect(action, &QAction::triggered, &menu, [fn = item.action] { fn(); });
    }
}

// The old rows are deleted by the event loop, not here: the menu may be rebuilt while one of its
// rows is still running its action (a modal alert opened from it), and the submenus that
// QMenu::clear() would leave behind go too.
void clearAll(QMenu& menu) {
    for (QAction* action : menu.actions()) {
        menu.removeAction(action);
        if (QMenu* sub = action->menu(); sub && sub->parent() == &menu)
            sub->deleteLater();
        else if (action->parent() == &menu)
            action->deleteLater();
    }
}

} // namespace

QString menuText(const std::string& title) {
    QString text = QString::fromStdString(title);
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return text;
}

void renderMenu(const Menu& model, QMenu& menu) {
    clearAll(menu);
    fill(model, menu);
}

} // namespace torvane
