#include "app/platform/Platform.hpp"

namespace torvane {

namespace {

// Not followed on macOS yet: every session counts as the one in front.
class MacSessionActivity final : public SessionActivity {
public:
    bool isActive() const override { return true; }
    void onChange(std::function<void()>) override {}
};

} // namespace

std::unique_ptr<SessionActivity> platform::makeSessionActivity(MainLoop&) {
    return std::make_unique<MacSessionActivity>();
}

} // namespace torvane
