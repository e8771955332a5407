#pragma once

#include "app/ui/Clipboard.hpp"

namespace torvane {

class QtClipboard final : public Clipboard {
public:
    void setText(const std::string& text) override;
};

} // namespace torvane
