#pragma once

#include "app/ui/StatusView.hpp"

namespace torvane::test {

// Keeps the last menu the status item was given.
class FakeStatusView final : public StatusView {
public:
    void install() override {}
    void show(const StatusAppearance&) override {}
    void setMenu(const Menu& m) override { menu = m; }

    Menu menu;
};

} // namespace torvane::test
