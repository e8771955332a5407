#pragma once

#include "app/ui/AppDelegate.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/FakeDesktop.hpp"
#include "tests/fakes/FakeKeyboardState.hpp"
#include "tests/fakes/FakePowerAssertions.hpp"
#include "tests/fakes/FakePowerSources.hpp"
#include "tests/fakes/FakeStatusView.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"

#include <string>

namespace torvane::test {

// The delegate's fixed ports as fakes on virtual time, the directory shared with the daemon, and the
// log; a test adds tmux and whatever else it drives for real.
struct FakeDelegatePorts {
    void review() { loop.advance(std::chrono::duration<double>(AppDelegate::reviewInterval)); }

    // The wall clock on virtual time, `wallStep` seconds off it; the boot clock is the loop's own.
    SystemTime wallNow() const {
        return epoch +
               std::chrono::duration_cast<SystemTime::duration>(loop.now() + MainLoop::Seconds(wallStep));
    }
    RequestChannel channel() {
        return RequestChannel(
            shared.path(), [this] { return wallNow(); }, [this] { return BootSeconds(loop.now()); });
    }
    // A daemon that carries out every wish: every 2 s it touches the ack, by the wall clock, while the
    // request says "0" or "1". Stopped by resetting `daemon`.
    void startDaemon() {
        daemon = loop.repeating(MainLoop::Seconds(2), [this] {
            const std::string wish = readFile(shared / "request");
            if (wish != "0" && wish != "1")
                return;
            writeFile(shared / "ack", "ok");
            setModifiedAgo(shared / "ack", 0, wallNow());
        });
    }

    VirtualMainLoop loop;
    SystemTime epoch = std::chrono::system_clock::now();
    double wallStep = 0;
    TimerHandle daemon;
    MemorySettings settings;
    FakeKeyboardState keyboard;
    FakePowerSources sources;
    FakePowerAssertions assertions;
    TempDir shared;
    FakeStatusView view;
    FakeAlertPresenter alerts;
    FakeDesktop desktop;
    LogCapture log;

    const std::string onLine = "持ち運びモード ON（ふた閉じ抑止: 有効（ヘルパー経由））";
    const std::string offLine = "持ち運びモード OFF（通常の電源設定に戻す）";
};

} // namespace torvane::test
