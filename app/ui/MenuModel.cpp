#include "app/ui/MenuModel.hpp"

namespace torvane {

MenuItem MenuItem::info(std::string title) {
    MenuItem item;
    item.title = std::move(title);
    return item;
}

MenuItem MenuItem::command(std::string title, std::function<void()> action) {
    MenuItem item;
    item.title = std::move(title);
    item.enabled = true;
    item.action = std::move(action);
    return item;
}

MenuItem MenuItem::makeSeparator() {
    MenuItem item;
    item.separator = true;
    return item;
}

} // namespace torvane
