// What following a pane through one control-mode client costs: a pane prints a line every 50 ms
// (each line the wall-clock time it was printed, in ns); this reports the time from the print to the
// change handler (median, p90), the reader thread's CPU and the tmux client's.
// Runs its own tmux server in a private TMUX_TMPDIR and kills it at the end.
//   control_latency [seconds=30]     (internally: control_latency --print N)
#include "app/tmux/TmuxControl.hpp"
#include "common/Subprocess.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

long long nowNs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

int print(int lines) {
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < lines; ++i) {
        std::printf("%lld\n", nowNs(CLOCK_REALTIME));
        std::fflush(stdout);
        next.tv_nsec += 50'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    return 0;
}

// User and system time of a process, in seconds.
double processCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    if (stat.find(')') == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--print")
        return print(std::atoi(argv[2]));
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const int lines = seconds * 20;

    std::string dir = "/tmp/tv-bench-XXXXXX";
    if (!::mkdtemp(dir.data()))
        return 2;
    ::setenv("TMUX_TMPDIR", dir.c_str(), 1);
    ::unsetenv("TMUX");
    Tmux tmux;
    if (!tmux.isAvailable())
        return 2;
    const std::string self = std::filesystem::canonical("/proc/self/exe");
    const auto tmuxRun = [&](std::vector<std::string> args) {
        return runSubprocess(*tmux.executablePath(), args);
    };
    tmuxRun({"new-session", "-d", "-s", "bench", "-x", "100", "-y", "30", "sleep 3600"});

    std::mutex mutex;
    std::string partial;
    std::vector<double> latencyMs;
    long long firstCpu = -1, lastCpu = 0;
    TmuxControl control(tmux, [&](const TmuxControl::Change& c) {
        if (c.kind != TmuxControl::Kind::output)
            return;
        const long long now = nowNs(CLOCK_REALTIME);
        std::lock_guard lock(mutex);
        const long long cpu = nowNs(CLOCK_THREAD_CPUTIME_ID);
        if (firstCpu < 0)
            firstCpu = cpu;
        lastCpu = cpu;
        partial.append(c.data);
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
            const long long printed = std::atoll(partial.c_str());
            if (printed > 0)
                latencyMs.push_back(static_cast<double>(now - printed) / 1e6);
        }
    });
    if (!control.watch("bench") || control.clientPid() < 0) {
        std::fprintf(stderr, "could not watch the session\n");
        return 1;
    }
    const pid_t client = control.clientPid();
    const double clientBefore = processCpu(client);
    tmuxRun({"respawn-pane", "-k", "-t", "=bench:", self + " --print " + std::to_string(lines)});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 10);
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (latencyMs.size() >= static_cast<std::size_t>(lines))
                break;
        }
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(100ms);
    }
    const double clientCpu = processCpu(client) - clientBefore;
    control.stop();
    tmuxRun({"kill-server"});
    std::filesystem::remove_all(dir);

    std::lock_guard lock(mutex);
    if (latencyMs.empty())
        return 1;
    std::sort(latencyMs.begin(), latencyMs.end());
    const auto at = [&](double q) { return latencyMs[static_cast<std::size_t>(q * (latencyMs.size() - 1))]; };
    std::printf("lines %zu over %d s\n", latencyMs.size(), seconds);
    std::printf("print to handler: median %.2f ms, p90 %.2f ms, max %.2f ms\n", at(0.5), at(0.9),
                latencyMs.back());
    std::printf("reader thread CPU: %.1f ms (%.3f %% of one core)\n", (lastCpu - firstCpu) / 1e6,
                (lastCpu - firstCpu) / 1e7 / seconds);
    std::printf("tmux -C client CPU: %.0f ms (%.2f %% of one core)\n", clientCpu * 1e3,
                clientCpu * 100 / seconds);
    return 0;
}
