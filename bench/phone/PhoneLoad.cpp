// Load on the phone link: GET /api/state over 127.0.0.1 with three real tmux sessions, next to a
// loop of bare tmux list-sessions, a burst of connections opened at once, and the memory held for
// peers that send bodies without the token. Runs its own tmux server in a private TMUX_TMPDIR and
// kills it at the end; every loop is bounded in time.
//
//   phone_load [--seconds N]    (10 by default)
#include "app/phone/Router.hpp"
#include "app/phone/Server.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/integration/phone/RawClient.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace torvane;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
    std::size_t count = 0;
    std::size_t failures = 0;
    double seconds = 0;
    std::vector<double> latenciesMs;

    double percentile(double p) {
        if (latenciesMs.empty()) {
            return 0;
        }
        std::sort(latenciesMs.begin(), latenciesMs.end());
        const auto index = static_cast<std::size_t>(p * static_cast<double>(latenciesMs.size() - 1));
        return latenciesMs[index];
    }
    double mean() const {
        double sum = 0;
        for (double v : latenciesMs) {
            sum += v;
        }
        return latenciesMs.empty() ? 0 : sum / static_cast<double>(latenciesMs.size());
    }
    void print(const char* what) {
        std::printf("%-52s %8zu done %5zu failed %9.1f /s  p50 %7.3f ms  p99 %7.3f ms  mean %7.3f ms\n", what,
                    count, failures, static_cast<double>(count) / seconds, percentile(0.5), percentile(0.99),
                    mean());
    }
};

bool fetch(std::uint16_t port, const std::string& request, std::string_view expectedStart) {
    test::RawClient client(port);
    if (!client.connected() || !client.send(request)) {
        return false;
    }
    const auto reply = client.readAll(std::chrono::milliseconds(30000));
    return reply.closed && reply.bytes.starts_with(expectedStart);
}

// `connections` clients, each sending one request after the other, for `duration`.
Figures hammer(std::uint16_t port, const std::string& request, std::string_view expectedStart,
               int connections, std::chrono::duration<double> duration) {
    std::vector<Figures> perThread(static_cast<std::size_t>(connections));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(duration);
    for (auto& figures : perThread) {
        threads.emplace_back([&figures, &request, expectedStart, port, end] {
            while (Clock::now() < end) {
                const auto begin = Clock::now();
                const bool ok = fetch(port, request, expectedStart);
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
                ++figures.count;
                if (ok) {
                    figures.latenciesMs.push_back(ms);
                } else {
                    ++figures.failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Figures total;
    total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& figures : perThread) {
        total.count += figures.count;
        total.failures += figures.failures;
        total.latenciesMs.insert(total.latenciesMs.end(), figures.latenciesMs.begin(),
                                 figures.latenciesMs.end());
    }
    return total;
}

template <class F> Figures loop(std::chrono::duration<double> duration, F&& once) {
    Figures figures;
    const auto start = Clock::now();
    while (Clock::now() - start < duration) {
        const auto begin = Clock::now();
        const bool ok = once();
        ++figures.count;
        if (ok) {
            figures.latenciesMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        } else {
            ++figures.failures;
        }
    }
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return figures;
}

// A burst larger than one peer's share of the connections comes from ten loopback addresses.
const char* burstPeer(int i) {
    static const std::string peers[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5",  "127.0.0.6",
                                        "127.0.0.7", "127.0.0.8", "127.0.0.9", "127.0.0.10", "127.0.0.11"};
    return peers[i % 10].c_str();
}

long residentKb(std::string_view field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field)) {
            return std::atol(line.c_str() + field.size());
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        }
    }
    const std::chrono::duration<double> duration(seconds);

    char scratch[] = "/tmp/torvane-phone-load-XXXXXX";
    if (::mkdtemp(scratch) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    ::setenv("TMUX_TMPDIR", scratch, 1);
    // The server's log lines must not land in the user's own log.
    ::setenv("XDG_STATE_HOME", scratch, 1);
    ::setenv("SHELL", "/bin/sh", 1);
    ::unsetenv("TMUX");

    Tmux tmux;
    const auto tmuxPath = tmux.executablePath();
    if (!tmuxPath) {
        std::fprintf(stderr, "phone_load: tmux is not installed\n");
        return 1;
    }
    for (const char* name : {"agent-1", "agent-2", "agent-3"}) {
        runSubprocess(*tmuxPath, {"new-session", "-d", "-s", name}, {.timeLimit = std::chrono::seconds(10)});
    }
    if (tmux.sessions().size() != 3) {
        std::fprintf(stderr, "phone_load: could not start three tmux sessions\n");
        return 1;
    }

    MemorySettings settings;
    PairingSecret secret(settings);
    PhoneRegistry phones(settings);
    Router router(
        tmux, [] { return PowerState{}; }, [] { return false; }, secret, phones);
    Server server(router, secret);
    server.start(0);
    if (!server.isRunning()) {
        std::fprintf(stderr, "phone_load: the server did not start\n");
        return 1;
    }
    const std::uint16_t port = server.port();
    const std::string state =
        "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Token: " + secret.token() + "\r\n\r\n";
    const std::string missing = "GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

    std::printf("%s, %g s per run, 3 sessions\n", runSubprocess(*tmuxPath, {"-V"}).out.substr(0, 9).c_str(),
                seconds);

    auto listing = loop(duration, [&] {
        return runSubprocess(*tmuxPath, {"list-sessions"}, {.timeLimit = std::chrono::seconds(10)}).ok();
    });
    listing.print("bare `tmux list-sessions` loop");

    auto sessions = loop(duration, [&] { return tmux.sessions().size() == 3; });
    sessions.print("Tmux::sessions() loop (the state route's tmux work)");

    auto sequential = hammer(port, state, "HTTP/1.1 200 OK", 1, duration);
    sequential.print("GET /api/state, 1 connection");

    auto loaded = hammer(port, state, "HTTP/1.1 200 OK", 8, duration);
    loaded.print("GET /api/state, 8 connections");

    auto bare = hammer(port, missing, "HTTP/1.1 404 Not Found", 8, duration);
    bare.print("GET /nothing (no tmux), 8 connections");

    auto bareSequential = hammer(port, missing, "HTTP/1.1 404 Not Found", 1, duration);
    bareSequential.print("GET /nothing (no tmux), 1 connection");

    // Everything a request costs besides tmux, client side included, against a whole state request.
    std::printf("server's own share of a state request: %.1f %% (p50 %.3f ms of %.3f ms)\n",
                100 * bareSequential.percentile(0.5) / sequential.percentile(0.5),
                bareSequential.percentile(0.5), sequential.percentile(0.5));

    // A burst: every connection is opened before any request is sent.
    constexpr int burst = 200;
    std::vector<std::unique_ptr<test::RawClient>> clients;
    for (int i = 0; i < burst; ++i) {
        clients.push_back(std::make_unique<test::RawClient>(port, false, burstPeer(i)));
    }
    for (auto& client : clients) {
        client->send(state);
    }
    int answered = 0;
    for (auto& client : clients) {
        answered +=
            client->readAll(std::chrono::milliseconds(60000)).bytes.starts_with("HTTP/1.1 200 OK") ? 1 : 0;
    }
    std::printf("%d connections opened at once: %d answered\n", burst, answered);

    clients.clear();

    // Peers that announce a 1 MB body, send it (all of it, or all but its last byte) and keep the
    // connection open: how many get an answer within `wait`, and what the app holds for them.
    const std::string body(1000000, 'x');
    const auto holdBodies = [&](const char* what, const char* path, bool whole,
                                std::chrono::milliseconds wait) {
        const long before = residentKb("VmRSS:");
        std::vector<std::unique_ptr<test::RawClient>> peers;
        for (int i = 0; i < burst; ++i) {
            peers.push_back(std::make_unique<test::RawClient>(port, false, burstPeer(i)));
            peers.back()->send(std::string("POST ") + path + " HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n");
        }
        int got = 0;
        for (auto& peer : peers) {
            peer->send(whole ? std::string_view(body) : std::string_view(body).substr(1));
            got += peer->readable(wait) ? 1 : 0;
        }
        std::printf("%d connections %s: %d answered, resident %ld -> %ld kB (%+.1f MB)\n", burst, what, got,
                    before, residentKb("VmRSS:"), static_cast<double>(residentKb("VmRSS:") - before) / 1024);
        return got;
    };
    // Without the token: refused as soon as the header is in, the body dropped.
    const int refusals =
        holdBodies("sending 1 MB without the token", "/api/send", true, std::chrono::milliseconds(30000));
    // Sealed bodies carry no token in their header and must be read whole; past a peer's share (4 MiB)
    // or the server's budget they are refused (503 "busy") as they arrive.
    holdBodies("holding a 1 MB sealed body open", "/api/sealed", false, std::chrono::milliseconds(100));

    server.stop();
    runSubprocess(*tmuxPath, {"kill-server"});
    std::filesystem::remove_all(scratch);

    const bool lost = listing.failures + sessions.failures + sequential.failures + loaded.failures +
                          bare.failures + bareSequential.failures !=
                      0;
    return (lost || answered != burst || refusals != burst) ? 1 : 0;
}
