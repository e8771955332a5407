// The status menu's session block as a real tmux server reports it.
#include "app/core/MemorySettings.hpp"
#include "app/core/VirtualMainLoop.hpp"
#include "app/ui/AppDelegate.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/FakeDesktop.hpp"
#include "tests/fakes/FakeKeyboardState.hpp"
#include "tests/fakes/FakeLidSensor.hpp"
#include "tests/fakes/FakePowerAssertions.hpp"
#include "tests/fakes/FakePowerSources.hpp"
#include "tests/fakes/FakeStatusView.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <gtest/gtest.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;

class SessionBlock : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmux.isAvailable()) << "tmux is a test dependency; scripts/bootstrap installs it";
        // A server of this test's own.
        saved = std::getenv("TMUX_TMPDIR") ? std::getenv("TMUX_TMPDIR") : "";
        ::setenv("TMUX_TMPDIR", dir.path().c_str(), 1);
    }
    void TearDown() override {
        raw({"kill-server"});
        ::setenv("TMUX_TMPDIR", saved.c_str(), 1);
    }
    SubprocessResult raw(const std::vector<std::string>& args) {
        return runSubprocess(*tmux.executablePath(), args, {.timeLimit = 10s});
    }
    std::vector<std::string> block() {
        const Menu menu = delegate.rebuild();
        std::vector<std::string> rows;
        for (std::size_t i = 8; i < menu.size() && !menu[i].separator; ++i) {
            EXPECT_FALSE(menu[i].enabled) << menu[i].title;
            rows.push_back(menu[i].title);
        }
        return rows;
    }

    test::TempDir dir;
    std::string saved;
    Tmux tmux;
    VirtualMainLoop loop;
    MemorySettings settings;
    test::FakeKeyboardState keyboard;
    test::FakePowerSources sources;
    test::FakePowerAssertions assertions;
    test::FakeLidSensor lid;
    test::TempDir shared;
    test::FakeStatusView view;
    test::FakeAlertPresenter alerts;
    test::FakeDesktop desktop;
    AppDelegate delegate{AppDelegate::Ports{loop, settings, keyboard, sources, assertions, lid,
                                            RequestChannel(shared.path()), tmux, view, alerts, desktop}};
};

TEST_F(SessionBlock, NoServerMeansNoSessions) {
    EXPECT_EQ(block(), std::vector<std::string>{"監視中の作業: なし"});
}

TEST_F(SessionBlock, ListsEachSessionWithItsStateInTmuxOrder) {
    ASSERT_TRUE(raw({"new-session", "-d", "-s", "a 作業", "sleep 1000"}).ok());
    ASSERT_TRUE(raw({"new-session", "-d", "-s", "b-idle", "/bin/sh"}).ok());
    ASSERT_TRUE(test::waitFor([&] { return tmux.sessions().size() == 2; }));
    EXPECT_EQ(block(), (std::vector<std::string>{
                           "監視中の作業",
                           "\u3000● a 作業 — 作業中（sleep）・0分",
                           "\u3000○ b-idle — 待機中・0分",
                       }));
}

} // namespace
} // namespace torvane
