#pragma once

#include "app/ui/StatusView.hpp"

#include <vector>

namespace torvane::test {

// Records what the status item was told to show.
class FakeStatusView final : public StatusView {
public:
    void install() override { ++installs; }
    void show(const StatusAppearance& appearance) override { shown.push_back(appearance); }
    void setMenu(const Menu& m) override { menu = m; }

    bool lastActive() const { return !shown.empty() && shown.back().active; }

    int installs = 0;
    std::vector<StatusAppearance> shown;
    Menu menu;
};

} // namespace torvane::test
