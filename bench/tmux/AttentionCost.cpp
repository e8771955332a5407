// What following ten sessions' attention costs: ten panes in a private tmux server run varied programs
// (shells at their prompt, a prompt, quiet sleeps, a printing loop, a reader of the terminal); an
// AttentionTracker looks at them once a second. Reports the CPU of one round of looks (median of many,
// timed on this thread), the whole process's CPU while the tracker runs alone (% of one core), and what
// a thread that only wakes once a second costs here: the floor of any look once a second.
//   attention_cost [seconds=60]
#include "app/tmux/AttentionTracker.hpp"
#include "app/tmux/Tmux.hpp"
#include "app/tmux/linux/ProcPaneReader.hpp"
#include "common/Subprocess.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

long long cpuNs(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    std::string dir = "/tmp/tv-bench-XXXXXX";
    if (!::mkdtemp(dir.data()))
        return 2;
    ::setenv("TMUX_TMPDIR", dir.c_str(), 1);
    ::unsetenv("TMUX");
    Tmux tmux;
    if (!tmux.isAvailable())
        return 2;
    const char* programs[] = {"env PS1='$ ' bash --norc --noprofile -i",
                              "env PS1='$ ' bash --norc --noprofile -i",
                              "sh -i",
                              "python3 -c 'input(\"name? \")'",
                              "sh -c 'read -r answer'",
                              "cat",
                              "sleep 3600",
                              "sleep 3600",
                              "sh -c 'while :; do echo tick; sleep 1; done'",
                              "sh -c 'while :; do date; sleep 2; done'"};
    int n = 0;
    for (const char* program : programs)
        runSubprocess(*tmux.executablePath(), {"new-session", "-d", "-s", "s" + std::to_string(n++), "-x",
                                               "100", "-y", "30", program});
    std::this_thread::sleep_for(2s);
    const auto sessions = tmux.sessions();

    // One round as the tracker's thread does it, timed on this thread's CPU clock.
    ProcPaneReader reader;
    std::vector<double> roundUs;
    for (int i = 0; i < 200; ++i) {
        const long long before = cpuNs(CLOCK_THREAD_CPUTIME_ID);
        reader.beginRound();
        for (const AgentSession& s : sessions)
            reader.look(s.panePid, s.paneTty);
        roundUs.push_back(static_cast<double>(cpuNs(CLOCK_THREAD_CPUTIME_ID) - before) / 1e3);
    }
    std::sort(roundUs.begin(), roundUs.end());

    // The tracker alone in the process: this thread only sleeps.
    AttentionTracker tracker;
    tracker.follow(sessions);
    std::this_thread::sleep_for(1500ms);
    const long long before = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long long used = cpuNs(CLOCK_PROCESS_CPUTIME_ID) - before;
    std::string states;
    for (const auto& [name, a] : tracker.all())
        states += name + "=" + std::string(attentionName(a)) + " ";
    tracker.stop();
    runSubprocess(*tmux.executablePath(), {"kill-server"});
    std::filesystem::remove_all(dir);

    // The floor: a thread that only wakes once a second as the tracker's does.
    long long floor = 0;
    {
        std::mutex mutex;
        std::condition_variable never;
        const long long start = cpuNs(CLOCK_PROCESS_CPUTIME_ID);
        std::thread waker([&] {
            std::unique_lock lock(mutex);
            auto next = std::chrono::steady_clock::now();
            for (int i = 0; i < seconds; ++i)
                never.wait_until(lock, next += 1s, [] { return false; });
        });
        waker.join();
        floor = cpuNs(CLOCK_PROCESS_CPUTIME_ID) - start;
    }

    std::printf("sessions %zu: %s\n", sessions.size(), states.c_str());
    std::printf("one round of looks: median %.0f us, p90 %.0f us\n", roundUs[roundUs.size() / 2],
                roundUs[roundUs.size() * 9 / 10]);
    std::printf("tracker over %d s: %.1f ms CPU (%.4f %% of one core)\n", seconds, used / 1e6,
                used / 1e7 / seconds);
    std::printf("of which a thread's bare wake each second: %.1f ms (%.4f %%)\n", floor / 1e6,
                floor / 1e7 / seconds);
    return sessions.size() == std::size(programs) ? 0 : 1;
}
