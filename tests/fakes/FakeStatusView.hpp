#pragma once

#include "app/ui/StatusView.hpp"

namespace torvane::test {

// Keeps the last menu and look the status item was given.
class FakeStatusView final : public StatusView {
public:
    void install() override {}
    void show(const StatusAppearance& a) override { appearance = a; }
    void setMenu(const Menu& m) override { menu = m; }

    Menu menu;
    StatusAppearance appearance;
};

} // namespace torvane::test
