#pragma once

#include "app/ui/MenuModel.hpp"

#include <string>

namespace torvane {

// How the status (tray) icon should look.
struct StatusAppearance {
    bool active = false;
    std::string symbol;                   // "capslock.fill" while active, else "capslock"
    std::string accessibilityDescription; // what a screen reader says for the icon
    bool tinted = false;                  // drawn in the system green
    std::string tooltip;

    // `lidHeld` counts only while active: carry mode whose lid nobody holds says so in the tooltip.
    static StatusAppearance forMode(bool active, bool lidHeld = true);
};

// The status item in the tray or menu bar.
class StatusView {
public:
    virtual ~StatusView() = default;
    // Puts the item into the tray; once, at launch.
    virtual void install() = 0;
    virtual void show(const StatusAppearance& appearance) = 0;
    // Fills the menu at launch, so a tray that reads it before opening it shows every row.
    virtual void setMenu(const Menu& menu) = 0;
};

} // namespace torvane
