// Cost of listing sessions: parsing tmux's output next to the tmux process that produces it; and what
// the per-session line of the phone link adds to one send.
// Runs its own tmux server in a private TMUX_TMPDIR and kills it at the end.
#include "app/phone/SessionQueues.hpp"
#include "app/tmux/Tmux.hpp"
#include "common/Subprocess.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

constexpr int realSessions = 20;

std::string sessionList(int lines) {
    std::string out;
    for (int i = 0; i < lines; ++i)
        out += "agent-" + std::to_string(i) +
               "\x1f"
               "1765000000\x1f"
               "1765003600\x1f" +
               (i % 3 ? "0" : "1") + "\x1f" + (i % 2 ? "node" : "zsh") +
               "\x1f"
               "1765003600\n";
    return out;
}

void parseList(benchmark::State& state) {
    const std::string output = sessionList(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto sessions = Tmux::parseSessionList(output);
        benchmark::DoNotOptimize(sessions.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(parseList)->Arg(20)->Arg(1000);

void sessionsFromRealTmux(benchmark::State& state) {
    for (auto _ : state) {
        auto sessions = Tmux::shared().sessions();
        if (sessions.size() != realSessions + 1) {
            state.SkipWithError("tmux did not list the sessions");
            break;
        }
        benchmark::DoNotOptimize(sessions.data());
    }
}
BENCHMARK(sessionsFromRealTmux)->UseRealTime()->Unit(benchmark::kMillisecond);

// One send into a program that reads and drops its input: alone (0), and as the phone link makes it (1),
// posted to the session's strand on the workers and waited for.
void send(benchmark::State& state) {
    SessionQueues queues(4);
    for (auto _ : state) {
        bool sent = false;
        if (state.range(0)) {
            std::promise<bool> done;
            queues.post("sink", [&] { done.set_value(Tmux::shared().send("sink", "echo hi", false)); });
            sent = done.get_future().get();
        } else {
            sent = Tmux::shared().send("sink", "echo hi", false);
        }
        if (!sent) {
            state.SkipWithError("send failed");
            break;
        }
    }
}
BENCHMARK(send)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The session's line alone: an empty job through the strand and back, without tmux.
void lineAlone(benchmark::State& state) {
    SessionQueues queues(4);
    for (auto _ : state) {
        std::promise<void> done;
        queues.post("sink", [&] { done.set_value(); });
        done.get_future().wait();
    }
}
BENCHMARK(lineAlone)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    std::string dir = (std::filesystem::temp_directory_path() / "torvane-bench-XXXXXX").string();
    if (!::mkdtemp(dir.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    ::setenv("TMUX_TMPDIR", dir.c_str(), 1);
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1); // each send logs a line: not into the user's log
    ::setenv("SHELL", "/bin/sh", 1);
    ::unsetenv("TMUX");

    const auto tmux = Tmux::shared().executablePath();
    if (!tmux) {
        std::fprintf(stderr, "no tmux found\n");
        return 1;
    }
    bool ready = true;
    for (int i = 0; i < realSessions && ready; ++i)
        ready = runSubprocess(*tmux, {"new-session", "-d", "-s", "agent " + std::to_string(i)},
                              {.timeLimit = 10s})
                    .ok();

    ready = ready &&
            runSubprocess(*tmux, {"new-session", "-d", "-s", "sink", "stty raw -echo; exec cat >/dev/null"},
                          {.timeLimit = 10s})
                .ok();
    int status = 1;
    if (ready && Tmux::shared().sessions().size() == realSessions + 1) {
        benchmark::Initialize(&argc, argv);
        if (!benchmark::ReportUnrecognizedArguments(argc, argv)) {
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            status = 0;
        }
    } else {
        std::fprintf(stderr, "could not start %d tmux sessions\n", realSessions);
    }
    runSubprocess(*tmux, {"kill-server"}, {.timeLimit = 10s});
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
