#pragma once

#include "app/ui/Desktop.hpp"

#include <filesystem>
#include <functional>
#include <vector>

namespace torvane::test {

class FakeDesktop final : public Desktop {
public:
    void beep() override { ++beeps; }
    void openFile(const std::filesystem::path& path) override {
        opened.push_back(path);
        if (onOpen)
            onOpen(path);
    }
    void terminate() override { ++terminations; }

    int beeps = 0;
    int terminations = 0;
    std::vector<std::filesystem::path> opened;
    std::function<void(const std::filesystem::path&)> onOpen;
};

} // namespace torvane::test
