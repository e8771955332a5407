#pragma once

#include "app/ui/LoginItem.hpp"

#include <filesystem>

namespace torvane {

// A desktop entry in the XDG autostart directory whose Exec is this program.
class AutostartEntry final : public LoginItem {
public:
    AutostartEntry(std::filesystem::path directory = defaultDirectory(),
                   std::filesystem::path executable = runningExecutable());

    bool isEnabled() const override;
    std::optional<std::string> setEnabled(bool enabled) override;

    // $XDG_CONFIG_HOME/autostart, or ~/.config/autostart.
    static std::filesystem::path defaultDirectory();
    static std::filesystem::path runningExecutable();
    std::filesystem::path file() const { return directory_ / "torvane.desktop"; }

private:
    std::filesystem::path directory_;
    std::filesystem::path executable_;
};

} // namespace torvane
