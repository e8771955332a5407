// The phone link's real server and router, for the browser tests: tmux is the real one (on
// whatever TMUX_TMPDIR the caller set), the token lives in memory, the battery reading is fixed by
// the command line and Caps Lock reads on. Carry mode reads as the app reports it then, at 62 °C and
// with no daemon answering; its pause is carried out on another thread, as on the app's main thread.
// Prints "port N" once it listens. Then, for each line on its standard input, as the menu and the
// command line would: "pair" prints "code ID.KEY" (a pairing code), "revoke ID" prints "revoked
// NAME" (or "revoked -"). SIGTERM or SIGINT end it with status 0.
//
//   phone_test_server TOKEN BATTERY-PERCENT [TMUX-TIME-LIMIT-MS]

#include "app/core/Config.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "app/power/PowerState.hpp"
#include "app/tmux/Tmux.hpp"
#include "tests/fakes/FakePowerSources.hpp"
#include "tests/fakes/MemorySettings.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <pthread.h>
#include <thread>

using namespace torvane;

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: phone_test_server TOKEN BATTERY-PERCENT [TMUX-TIME-LIMIT-MS]\n");
        return 2;
    }
    // Block the stop signals before the server starts its threads, so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    MemorySettings settings;
    settings.setString(Config::Key::serverToken, argv[1]);
    Tmux tmux;
    if (argc == 4) {
        tmux.setTimeLimit(std::chrono::milliseconds(std::atoi(argv[3])));
    }
    // Only the platform's reading is a stand-in; turning it into the state goes the app's way.
    test::FakePowerSources powerSources;
    powerSources.set(PowerSnapshot{{PowerDescription{
        {"Type", std::string("InternalBattery")},
        {"Current Capacity", std::int64_t{std::atoi(argv[2])}},
        {"Max Capacity", std::int64_t{100}},
        {"Power Source State", std::string("Battery Power")},
    }}});
    PairingSecret secret(settings);
    PhoneRegistry phones(settings);
    Router router(
        tmux, [&powerSources] { return PowerState::from(powerSources); }, [] { return true; }, secret,
        phones);
    const auto carry = std::make_shared<CarryLink>();
    std::mutex carryMutex;
    CarryState state{.active = true,
                     .paused = false,
                     .reason = "ふたを閉じても動き続けます",
                     .lidHeld = false,
                     .temperature = 62,
                     .heatLimit = 90,
                     .floor = 20};
    carry->publish(state);
    carry->attach([](std::function<void()> call) { std::thread(std::move(call)).join(); },
                  [&](bool paused) {
                      const std::lock_guard lock(carryMutex);
                      state.paused = paused;
                      state.active = !paused;
                      state.reason =
                          paused ? "一時停止中（Caps Lock を無視します）" : "ふたを閉じても動き続けます";
                      carry->publish(state);
                      return state;
                  });
    router.setCarryLink(carry);
    Server server(router, secret);
    server.start(0);
    if (!server.isRunning()) {
        std::fprintf(stderr, "phone_test_server: the server did not start listening\n");
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);
    // Left running at the end: it only ever waits for a line.
    std::thread([&phones] {
        for (std::string line; std::getline(std::cin, line); std::fflush(stdout)) {
            if (line == "pair")
                std::printf("code %s\n", phones.newCode().value_or("-").c_str());
            else if (line.starts_with("revoke "))
                std::printf(
                    "revoked %s\n",
                    phones.revoke(line.substr(7)).value_or(PhoneRegistry::Revoked{"-", false}).name.c_str());
        }
    }).detach();
    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    carry->detach();
    return 0;
}
