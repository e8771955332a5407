#pragma once

#include "app/ui/TextPrompt.hpp"

namespace torvane {

// One line of text through a modal QInputDialog, brought to the front like the alerts.
class QtTextPrompt final : public TextPrompt {
public:
    std::optional<std::string> ask(const std::string& title, const std::string& label,
                                   const std::string& initial) override;
};

} // namespace torvane
