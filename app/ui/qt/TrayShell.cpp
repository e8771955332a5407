#include "app/ui/qt/TrayShell.hpp"

#include "app/core/Log.hpp"
#include "app/ui/qt/MenuRenderer.hpp"
#include "app/ui/qt/StatusGlyph.hpp"

#include <QCursor>
#include <QGuiApplication>
#include <QPalette>

namespace torvane {

TrayShell::TrayShell(MenuSource menuSource) : menuSource_(std::move(menuSource)) {
    const QPalette palette = QGuiApplication::palette();
    inactiveIcon_ =
        StatusGlyph::icon(false, palette.color(QPalette::WindowText), palette.color(QPalette::Window));
    activeIcon_ =
        StatusGlyph::icon(true, palette.color(QPalette::WindowText), palette.color(QPalette::Window));

    QObject::connect(&menu_, &QMenu::aboutToShow, &menu_, [this] { rebuild(); });
    tray_.setContextMenu(&menu_);
    QObject::connect(&tray_, &QSystemTrayIcon::activated, &menu_,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         // A left click opens the menu too, as a menu bar item does; the context menu already
                         // answers the right click.
                         if (reason == QSystemTrayIcon::Trigger && !menu_.isVisible())
                             menu_.popup(QCursor::pos());
                     });
    show(StatusAppearance::forMode(false));
}

void TrayShell::show(const StatusAppearance& appearance) {
    // Called at every evaluation: only a real change reaches the tray.
    if (shown_ && shown_->active == appearance.active && shown_->tooltip == appearance.tooltip)
        return;
    tray_.setIcon(appearance.active ? activeIcon_ : inactiveIcon_);
    tray_.setToolTip(QString::fromStdString(appearance.tooltip));
    shown_ = appearance;
}

void TrayShell::install() {
    tray_.show();
    if (!isTrayAvailable())
        Log::write("INFO: システムトレイが見つからないため、メニューなしで動作します");
}

bool TrayShell::isTrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayShell::setMenu(const Menu& menu) {
    renderMenu(menu, menu_);
}

void TrayShell::rebuild() {
    if (menuSource_)
        renderMenu(menuSource_(), menu_);
}

} // namespace torvane
