#include "app/ui/StatusView.hpp"

#include "app/core/Config.hpp"

namespace torvane {

StatusAppearance StatusAppearance::forMode(bool active, bool lidHeld) {
    StatusAppearance a;
    a.active = active;
    const std::string name(Config::appName);
    if (active) {
        a.symbol = "capslock.fill";
        a.accessibilityDescription = "持ち運びモード 有効";
        a.tinted = true;
        a.tooltip = name + (lidHeld ? ": 持ち運びモード 有効（ふたを閉じても動きます）"
                                    : ": 持ち運びモード 有効（ふたを閉じるとスリープします）");
    } else {
        a.symbol = "capslock";
        a.accessibilityDescription = "持ち運びモード 無効";
        a.tooltip = name + ": 無効（Caps Lock をオンにすると有効）";
    }
    return a;
}

} // namespace torvane
