// Measures what the daemon costs while it idles, on the real process started through its test entry
// point (build it with the release preset and pass its path):
//
//   build/release/bench/helper/helper_idle build/release/helper/torvane-helper-testable [SECONDS]
//
// 1. logind backend, no request: CPU time over the whole life (start to stop) and resident memory.
// 2. logind backend, lock held (a "1" request refreshed every 5 s, as the app does).
// 3. pmset backend against a minimal stand-in: child processes per tick.
// The logind runs use the real systemd-logind on a private bus and need root; without it they are left out.
// Prints a Markdown table; the figures go to docs/performance.md.

#include "tests/fakes/RealLogind.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

using namespace torvane;
using namespace std::chrono;

namespace {

struct Figures {
    double cpuMsTotal = 0; // user + system over the whole life, children included
    double cpuMsIdle = 0;  // on-CPU time of the daemon itself after its first second
    long rssKbEnd = 0;     // VmRSS just before the stop
    long anonKbEnd = 0;    // RssAnon: the daemon's own pages, not shared library ones
    long peakRssKb = 0;    // VmHWM: the peak of this process image (wait4's maxrss would count the
                           // spawning parent's image before exec too)
    int exitStatus = -1;
};

double schedNs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns;
}

long statusKb(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& stderrPath) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

// Runs the daemon for `seconds`, calling `everyFiveSeconds` meanwhile, then stops it with SIGTERM.
Figures measure(const std::vector<std::string>& args, const std::string& stderrPath, int seconds,
                const std::function<void()>& everyFiveSeconds) {
    Figures f;
    const pid_t pid = spawn(args, stderrPath);
    const auto start = steady_clock::now();
    if (everyFiveSeconds)
        everyFiveSeconds();
    std::this_thread::sleep_for(std::min(1s, seconds * 1s));
    const double afterStartNs = schedNs(pid);
    for (auto next = start + 5s; steady_clock::now() < start + seconds * 1s; next += 5s) {
        std::this_thread::sleep_until(std::min(next, start + seconds * 1s));
        if (everyFiveSeconds && steady_clock::now() < start + seconds * 1s)
            everyFiveSeconds();
    }
    f.cpuMsIdle = (schedNs(pid) - afterStartNs) / 1e6;
    f.rssKbEnd = statusKb(pid, "VmRSS");
    f.peakRssKb = statusKb(pid, "VmHWM");
    f.anonKbEnd = statusKb(pid, "RssAnon");
    ::kill(pid, SIGTERM);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    f.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    f.cpuMsTotal = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return f;
}

void refresh(const std::filesystem::path& dir, std::string_view content) {
    test::writeFile(dir / "request.tmp", content);
    std::filesystem::rename(dir / "request.tmp", dir / "request");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH/torvane-helper-testable [SECONDS]\n", argv[0]);
        return 2;
    }
    const std::string daemon = argv[1];
    const int seconds = argc > 2 ? std::stoi(argv[2]) : 60;
    test::TempDir dir;
    const auto support = dir / "support";
    std::filesystem::create_directories(support);

    std::printf("| run (%d s, SIGTERM at the end) | CPU in all | CPU after the first second | RSS at end | "
                "of it anonymous "
                "| peak RSS | exit |\n|---|---|---|---|---|---|---|\n",
                seconds);
    const auto row = [](const char* name, const Figures& f) {
        std::printf("| %s | %.1f ms | %.1f ms | %.2f MB | %.2f MB | %.2f MB | %d |\n", name, f.cpuMsTotal,
                    f.cpuMsIdle, f.rssKbEnd / 1024.0, f.anonKbEnd / 1024.0, f.peakRssKb / 1024.0,
                    f.exitStatus);
        std::fflush(stdout);
    };

    if (const auto why = test::RealLogind::unavailable()) {
        std::printf("| logind runs left out: %s |\n", why->c_str());
    } else {
        test::RealLogind logind;
        const auto idle = measure({daemon, support.string(), "15", "logind"}, (dir / "idle.log").string(),
                                  seconds, nullptr);
        row("logind, no request", idle);
        const auto held = measure({daemon, support.string(), "15", "logind"}, (dir / "held.log").string(),
                                  seconds, [&] { refresh(support, "1"); });
        row("logind, lock held, request refreshed every 5 s", held);
        if (!logind.inhibitors().empty())
            std::printf("\nunexpected: a lock outlived the daemon\n");
        std::filesystem::remove(support / "request");
    }

    // The smallest stand-in there is: one line, no state; each run appends a line.
    const auto pmset = dir / "pmset";
    test::writeExecutable(pmset, "#!/bin/sh\necho \"$*\" >> \"$(dirname \"$0\")/runs\"\n"
                                 "[ \"$1\" = -g ] && echo ' SleepDisabled\t\t0'\nexit 0\n");
    // An odd number of seconds keeps the stop clear of a tick: ticks at 0, 2, ..., 20.
    const int pmsetSeconds = std::min(seconds, 21);
    const auto withPmset = measure({daemon, support.string(), "15", "pmset", pmset.string()},
                                   (dir / "pmset.log").string(), pmsetSeconds, nullptr);
    row("pmset stand-in, no request (CPU includes the children)", withPmset);
    std::istringstream runs(test::readFile(dir / "runs"));
    int total = 0, queries = 0;
    for (std::string line; std::getline(runs, line); ++total)
        queries += line == "-g" ? 1 : 0;
    const int ticks = pmsetSeconds / 2 + 1;
    std::printf("\npmset runs in %d s: %d in all; \"-g\": %d = 1 at start + %d ticks x %.2f; the stop's \"-a "
                "disablesleep 0\": %d\n",
                pmsetSeconds, total, queries, ticks, (queries - 1) / static_cast<double>(ticks),
                total - queries);
    return 0;
}
