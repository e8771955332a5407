#pragma once

#include "app/ui/Clipboard.hpp"

#include <string>

namespace torvane {

// Holds what was put on it, and counts how often.
class FakeClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override {
        text_ = text;
        ++writes_;
    }
    const std::string& text() const { return text_; }
    int writes() const { return writes_; }

private:
    std::string text_;
    int writes_ = 0;
};

} // namespace torvane
