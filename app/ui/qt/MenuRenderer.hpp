#pragma once

#include "app/ui/MenuModel.hpp"

#include <QString>

class QMenu;

namespace torvane {

// Replaces everything in `menu` with the rows of `model`. Chosen rows call their action through the
// menu, so an action never outlives the menu it was shown in.
void renderMenu(const Menu& model, QMenu& menu);

// A row title as Qt shows it literally: "&" would otherwise mark a mnemonic and a tab would start
// the shortcut column.
QString menuText(const std::string& title);

} // namespace torvane
