#pragma once

#include <optional>
#include <string>

namespace torvane {

// Asks the user for one line of text in a small modal dialog.
class TextPrompt {
public:
    virtual ~TextPrompt() = default;
    // The text entered, or absent when the dialog was cancelled.
    virtual std::optional<std::string> ask(const std::string& title, const std::string& label,
                                           const std::string& initial) = 0;
};

} // namespace torvane
