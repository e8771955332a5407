#include "app/ui/qt/MenuRenderer.hpp"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

namespace torvane {

namespace {

// What a row does when chosen; replaced in place when the row is reused for a new model.
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

RowAction* rowAction(QAction* action) {
    if (auto* existing = action->findChild<RowAction*>(QString(), Qt::FindDirectChildrenOnly))
        return existing;
    return new RowAction(action);
}

void fill(const Menu& model, QMenu& menu);

// Brings one existing action in line with a row. Qt's setters do nothing for an unchanged value, so
// a row that did not change sends nothing to the tray.
void update(QAction* action, const MenuItem& item, QMenu& menu) {
    action->setSeparator(item.separator);
    action->setVisible(true);
    if (item.separator)
        return;
    action->setText(menuText(item.title));
    QMenu* sub = action->menu();
    if (!item.submenu.empty()) {
        if (!sub) {
            sub = new QMenu(&menu);
            action->setMenu(sub);
        }
        fill(item.submenu, *sub);
    } else if (sub) {
        action->setMenu(nullptr);
        if (sub->parent() == &menu)
            sub->deleteLater();
    }
    action->setEnabled(item.enabled);
    // Ticked rows and the choices of a group show a mark; other rows stay plain.
    action->setCheckable(item.checked || item.tag != 0);
    action->setChecked(item.checked);
    action->setData(item.tag != 0 ? QVariant(item.tag) : QVariant());
    // The platform's command modifier: Ctrl here, Command on macOS.
    action->setShortcut(
        item.keyEquivalent.size() == 1
            ? QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(item.keyEquivalent).toUpper())
            : QKeySequence());
    action->setShortcutVisibleInContextMenu(item.keyEquivalent.size() == 1);
    rowAction(action)->run = item.action;
}

// Rows are reused by position and surplus ones hidden rather than removed: every added or removed
// row makes a D-Bus tray host fetch the whole layout again, while a changed row costs one small
// property update. When rows must be added, the tray hears of the last one only, so one opening
// causes at most one layout update.
void fill(const Menu& model, QMenu& menu) {
    const QList<QAction*> existing = menu.actions();
    const qsizetype added = static_cast<qsizetype>(model.size()) - existing.size();
    // The D-Bus menu behind a StatusNotifier tray; QPlatformMenu's only base is QObject, but its
    // header is private to Qt, hence the cast.
    QObject* platform = reinterpret_cast<QObject*>(menu.platformMenu());
    for (std::size_t i = 0; i < model.size(); ++i) {
        const auto index = static_cast<qsizetype>(i);
        QAction* action = index < existing.size() ? existing[index] : nullptr;
        if (!action) {
            const bool last = i + 1 == model.size();
            if (platform)
                platform->blockSignals(!last);
            action = new QAction(&menu);
            update(action, model[i], menu);
            menu.addAction(action);
            continue;
        }
        update(action, model[i], menu);
    }
    if (platform && added > 0)
        platform->blockSignals(false);
    for (qsizetype i = static_cast<qsizetype>(model.size()); i < existing.size(); ++i)
        existing[i]->setVisible(false);
}

} // namespace

QString menuText(const std::string& title) {
    QString text = QString::fromStdString(title);
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return text;
}

void renderMenu(const Menu& model, QMenu& menu) {
    fill(model, menu);
}

} // namespace torvane
