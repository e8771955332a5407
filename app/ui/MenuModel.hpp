#pragma once

#include <functional>
#include <string>
#include <vector>

namespace torvane {

// One row of a menu as the toolkit should show it. The shell renders these and knows nothing of what
// they mean; the delegate builds them afresh at every opening.
struct MenuItem {
    std::string title;
    bool separator = false;
    bool enabled = false;
    bool checked = false;          // shown with a tick
    std::string keyEquivalent;     // "q" means the platform's command modifier + Q; empty for none
    int tag = 0;                   // the floor rows carry their percentage
    std::function<void()> action;  // empty for information lines
    std::vector<MenuItem> submenu; // non-empty: the row opens this submenu

    // A disabled line that only shows information.
    static MenuItem info(std::string title);
    // An enabled row that runs `action` when chosen.
    static MenuItem command(std::string title, std::function<void()> action);
    static MenuItem makeSeparator();
};

using Menu = std::vector<MenuItem>;

// Fills part of the menu on behalf of another module (helper installation, phone link); called at
// every opening, so the rows always reflect the state at that moment.
using MenuRowProvider = std::function<std::vector<MenuItem>()>;

} // namespace torvane
