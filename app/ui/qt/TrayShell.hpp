#pragma once

#include "app/ui/MenuModel.hpp"
#include "app/ui/StatusView.hpp"

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <functional>
#include <optional>

namespace torvane {

// The tray icon and its menu. The menu is rebuilt from `menuSource` each time it is about to open,
// whether by a right click (the tray's context menu) or a left click (as a menu bar item opens).
class TrayShell final : public StatusView {
public:
    using MenuSource = std::function<Menu()>;

    explicit TrayShell(MenuSource menuSource);

    // Shows the icon. Without a tray it says so once in the log; on X11 the icon appears as soon as
    // a tray does.
    void install() override;
    void show(const StatusAppearance& appearance) override;
    void setMenu(const Menu& menu) override;

    static bool isTrayAvailable();

    QMenu& menu() { return menu_; }
    const std::optional<StatusAppearance>& appearance() const { return shown_; }

private:
    void rebuild();

    MenuSource menuSource_;
    QMenu menu_;
    QSystemTrayIcon tray_;
    QIcon inactiveIcon_;
    QIcon activeIcon_;
    std::optional<StatusAppearance> shown_;
};

} // namespace torvane
