#pragma once

#include "app/ui/Desktop.hpp"

#include <filesystem>

namespace torvane::test {

class FakeDesktop final : public Desktop {
public:
    void beep() override { ++beeps; }
    void openFile(const std::filesystem::path&) override {}
    void terminate() override { ++terminations; }

    int beeps = 0;
    int terminations = 0;
};

} // namespace torvane::test
