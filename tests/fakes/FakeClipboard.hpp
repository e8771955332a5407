#pragma once

#include "app/ui/Clipboard.hpp"

#include <string>

namespace torvane {

// Holds what was put on it.
class FakeClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override { text_ = text; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

} // namespace torvane
