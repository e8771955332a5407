#pragma once

#include <string>

namespace torvane {

// The desktop's general clipboard.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Replaces everything the clipboard held with this plain text.
    virtual void setText(const std::string& text) = 0;
};

} // namespace torvane
