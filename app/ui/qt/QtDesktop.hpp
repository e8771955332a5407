#pragma once

#include "app/ui/Desktop.hpp"

namespace torvane {

class QtDesktop final : public Desktop {
public:
    void beep() override;
    void openFile(const std::filesystem::path& path) override;
    void terminate() override;
};

} // namespace torvane
