// The phone link's real server and router, for the browser tests: tmux is the real one (on
// whatever TMUX_TMPDIR the caller set), the token lives in memory, and the power and Caps Lock
// readings are fixed by the command line. Prints "port N" once it listens; SIGTERM or SIGINT end it
// with status 0.
//
//   phone_test_server --token TOKEN [--battery PERCENT] [--on-ac] [--caps-lock] [--no-tmux]

#include "app/core/Config.hpp"
#include "app/core/MemorySettings.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "app/power/PowerState.hpp"
#include "app/tmux/Tmux.hpp"
#include "tests/fakes/FakeKeyboardState.hpp"
#include "tests/fakes/FakePowerSources.hpp"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace torvane;

namespace {

struct Options {
    std::string token;
    std::optional<int> battery;
    bool onAC = false;
    bool capsLock = false;
    bool tmux = true;
};

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "phone_test_server: %s\n"
                 "usage: phone_test_server --token TOKEN [--battery PERCENT] [--on-ac] [--caps-lock] "
                 "[--no-tmux]\n",
                 problem);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options options;
    bool haveToken = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--token" && i + 1 < argc) {
            options.token = argv[++i];
            haveToken = true;
        } else if (arg == "--battery" && i + 1 < argc) {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || value < 0 || value > 100) {
                usage("--battery wants a percentage");
            }
            options.battery = static_cast<int>(value);
        } else if (arg == "--on-ac") {
            options.onAC = true;
        } else if (arg == "--caps-lock") {
            options.capsLock = true;
        } else if (arg == "--no-tmux") {
            options.tmux = false;
        } else {
            usage(("unknown argument " + std::string(arg)).c_str());
        }
    }
    if (!haveToken) {
        usage("--token is required");
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);

    // Block the stop signals before the server starts its thread, so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    MemorySettings settings;
    settings.setString(Config::Key::serverToken, options.token);
    // No search paths: tmux is "not installed" as far as the router can tell.
    Tmux tmux(options.tmux ? Tmux::defaultSearchPaths() : std::vector<std::string>{});

    // Only the platform's readings are stand-ins; turning them into the state goes the app's way.
    test::FakePowerSources powerSources;
    if (options.battery) {
        powerSources.set(PowerSnapshot{{PowerDescription{
            {"Type", std::string("InternalBattery")},
            {"Current Capacity", std::int64_t{*options.battery}},
            {"Max Capacity", std::int64_t{100}},
            {"Power Source State", std::string(options.onAC ? "AC Power" : "Battery Power")},
        }}});
    }
    test::FakeKeyboardState keyboard;
    keyboard.on = options.capsLock;

    Router router(
        tmux, [&powerSources] { return PowerState::from(powerSources); },
        [&keyboard] { return keyboard.capsLockOn(); }, settings);
    Server server(router);
    server.start(0);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server.isRunning()) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "phone_test_server: the server did not start listening\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("port %u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    return 0;
}
