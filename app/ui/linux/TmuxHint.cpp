#include "app/ui/StatusMenu.hpp"

namespace torvane::StatusMenu {

std::string_view tmuxMissingText() {
    return "tmux 未導入（sudo apt install tmux）";
}

} // namespace torvane::StatusMenu
