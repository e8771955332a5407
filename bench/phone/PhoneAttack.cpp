// A peer on the network without the key, against the phone link: the real server and router (in a
// child process of their own, so its memory is measured alone, with a private tmux server) attacked
// from 127.0.0.2 while a real client on 127.0.0.1 makes sealed state calls. Loopback only, every loop
// bounded in time and in sockets.
//
//   phone_attack lockout [--seconds N]   32 bodies of 1 MiB announced (and a 33rd of 2,432 bytes, 32 MiB
//                                        in all), a byte on each every 5 s, reconnecting when cut (30 s)
//   phone_attack flood [--seconds N]     connections opened as fast as loopback allows, each sending half
//                                        a header, 1,024 held open at most (20 s), then 10 s of quiet
#include "app/phone/PhoneRegistry.hpp"
#include "app/phone/Router.hpp"
#include "app/phone/Seal.hpp"
#include "app/phone/SealedCall.hpp"
#include "app/phone/Server.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/MemorySettings.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace torvane;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A socket from `from` to 127.0.0.1:port, blocking; -1 when the connection could not be made.
int connectFrom(const char* from, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &address.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Closed with a reset, as an attacker would: no TIME_WAIT left behind on its side.
void resetClose(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

// Whether the server has closed (or answered on) the socket, without waiting.
bool serverSpoke(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// The real client: a sealed state call from 127.0.0.1 by a paired phone, as the page makes it.
struct RealCalls {
    RealCalls(std::uint16_t port, std::string phone, const seal::Key& key)
        : port(port), phone(std::move(phone)), key(key) {}
    std::uint16_t port;
    std::string phone;
    seal::Key key;
    std::string run; // learnt from the first answer, as the page learns it
    std::mutex mutex;
    std::vector<double> latenciesMs;
    std::size_t count = 0, answered = 0;

    bool once() {
        std::string knownRun;
        {
            const std::lock_guard lock(mutex);
            knownRun = run;
        }
        const seal::Call call{"bench-" + std::to_string(seal::nowMillis()) + "-" + std::to_string(count),
                              seal::nowMillis(),
                              knownRun,
                              "GET",
                              "/api/state",
                              ""};
        const std::string envelope = phone + "." + seal::seal(key, seal::formatRequest(call));
        const auto begin = Clock::now();
        const int fd = connectFrom("127.0.0.1", port);
        std::string reply;
        if (fd >= 0) {
            sendAll(fd, "POST /api/sealed HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                        "text/plain\r\nContent-Length: " +
                            std::to_string(envelope.size()) + "\r\n\r\n" + envelope);
            const auto deadline = begin + 10s;
            char buffer[16384];
            for (pollfd p{fd, POLLIN, 0}; Clock::now() < deadline;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                    break;
                }
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                reply.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(fd);
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        // A sealed answer: "A", id, status, server time, run, type, body.
        const auto text = seal::open(key, reply.substr(std::min(reply.size(), reply.find("\r\n\r\n") + 4)));
        std::vector<std::string> f{""};
        for (const char c : text.value_or("")) {
            if (c == '\n' && f.size() < 7)
                f.emplace_back();
            else
                f.back().push_back(c);
        }
        const bool ok = reply.starts_with("HTTP/1.1 200 OK") && f.size() == 7 && f[2] == "200";
        const std::lock_guard lock(mutex);
        if (f.size() == 7)
            run = f[4];
        ++count;
        if (ok) {
            ++answered;
            latenciesMs.push_back(ms);
        }
        return ok;
    }
    void loop(const std::atomic<bool>& stop, std::chrono::milliseconds pace) {
        while (!stop) {
            const auto next = Clock::now() + pace;
            once();
            std::this_thread::sleep_until(next);
        }
    }
    void report(const char* what) {
        const std::lock_guard lock(mutex);
        std::sort(latenciesMs.begin(), latenciesMs.end());
        const auto at = [&](double p) {
            return latenciesMs.empty() ? 0.0
                                       : latenciesMs[static_cast<std::size_t>(
                                             p * static_cast<double>(latenciesMs.size() - 1))];
        };
        std::printf("%-34s %4zu of %4zu answered (%5.1f %%), p50 %7.1f ms, p99 %7.1f ms\n", what, answered,
                    count,
                    count == 0 ? 0.0 : 100.0 * static_cast<double>(answered) / static_cast<double>(count),
                    at(0.5), at(0.99));
        latenciesMs.clear();
        count = answered = 0;
    }
};

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

// The child: the real router and server, until the parent closes the pipe.
int serve(int toParent, int fromParent) {
    char scratch[] = "/tmp/torvane-phone-attack-XXXXXX";
    if (::mkdtemp(scratch) == nullptr) {
        return 1;
    }
    ::setenv("TMUX_TMPDIR", scratch, 1);
    ::setenv("XDG_STATE_HOME", scratch, 1); // the log goes there, and to standard error
    ::setenv("SHELL", "/bin/sh", 1);
    ::unsetenv("TMUX");
    Tmux tmux;
    const auto tmuxPath = tmux.executablePath();
    if (!tmuxPath) {
        return 1;
    }
    runSubprocess(*tmuxPath, {"new-session", "-d", "-s", "work"}, {.timeLimit = 10s});
    MemorySettings settings;
    PairingSecret secret(settings);
    PhoneRegistry phones(settings);
    Router router(
        tmux, [] { return PowerState{}; }, [] { return false; }, secret, phones);
    Server server(router, secret);
    server.start(0);
    const std::string code = phones.newCode("bench").value_or("");
    const auto phone = phones.redeem(code.substr(0, code.find('.')), "");
    const std::string hello = std::to_string(server.isRunning() && phone ? server.port() : 0) + " " +
                              (phone ? phone->id + "." + seal::keyText(phone->key) : "") + "\n";
    [[maybe_unused]] const auto written = ::write(toParent, hello.data(), hello.size());
    char byte;
    while (::read(fromParent, &byte, 1) > 0) {
    }
    server.stop();
    runSubprocess(*tmuxPath, {"kill-server"});
    std::filesystem::remove_all(scratch);
    return 0;
}

void lockout(std::uint16_t port, RealCalls& real, std::chrono::seconds duration, pid_t server) {
    std::atomic<bool> stop{false};
    std::size_t reconnects = 0;
    std::thread attacker([&] {
        const auto announce = [&](int i) {
            const int fd = connectFrom("127.0.0.2", port);
            if (fd >= 0) {
                sendAll(fd, "POST /api/sealed HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::string(i < 32 ? "1048500" : "2432") + "\r\n\r\n");
            }
            return fd;
        };
        std::vector<int> fds;
        for (int i = 0; i < 33; ++i) {
            fds.push_back(announce(i));
        }
        auto next = Clock::now() + 5s;
        while (!stop) {
            std::this_thread::sleep_for(50ms);
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i] < 0 || serverSpoke(fds[i])) { // cut: straight back
                    if (fds[i] >= 0) {
                        ::close(fds[i]);
                    }
                    fds[i] = announce(static_cast<int>(i));
                    ++reconnects;
                } else if (Clock::now() >= next) {
                    sendAll(fds[i], "x");
                }
            }
            if (Clock::now() >= next) {
                next += 5s;
            }
        }
        for (const int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    });
    std::this_thread::sleep_for(1s); // the budget taken first
    std::thread caller([&] {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            const auto next = Clock::now() + 250ms;
            real.once();
            std::this_thread::sleep_until(next);
        }
    });
    caller.join();
    stop = true;
    attacker.join();
    real.report("sealed calls under the lockout");
    std::printf("attacker: %zu reconnects after cuts, server resident %ld kB\n", reconnects,
                residentKb(server));
}

void flood(std::uint16_t port, RealCalls& real, std::chrono::seconds duration, pid_t server) {
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> opened{0};
    std::vector<std::thread> attackers;
    for (int t = 0; t < 4; ++t) {
        attackers.emplace_back([&] {
            std::deque<int> held; // 256 per thread at most
            while (!stop) {
                const int fd = connectFrom("127.0.0.2", port);
                if (fd < 0) {
                    continue;
                }
                ++opened;
                sendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
                held.push_back(fd);
                if (held.size() > 256) {
                    resetClose(held.front());
                    held.pop_front();
                }
            }
            for (const int fd : held) {
                resetClose(fd);
            }
        });
    }
    long peak = 0;
    std::atomic<bool> callerStop{false};
    std::thread caller([&] { real.loop(callerStop, 100ms); });
    const auto start = Clock::now();
    while (Clock::now() - start < duration) {
        std::this_thread::sleep_for(100ms);
        peak = std::max(peak, residentKb(server));
    }
    stop = true;
    for (auto& attacker : attackers) {
        attacker.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    callerStop = true;
    caller.join();
    const long atEnd = residentKb(server);
    std::printf("flood: %zu connections in %.1f s (%.0f /s) from 127.0.0.2\n", opened.load(), seconds,
                static_cast<double>(opened.load()) / seconds);
    real.report("sealed calls during the flood");
    callerStop = false;
    std::thread after([&] { real.loop(callerStop, 100ms); });
    std::this_thread::sleep_for(10s);
    callerStop = true;
    after.join();
    std::printf("server resident: peak %.1f MB during, %.1f MB at the end, %.1f MB 10 s after\n",
                static_cast<double>(peak) / 1024, static_cast<double>(atEnd) / 1024,
                static_cast<double>(residentKb(server)) / 1024);
    real.report("sealed calls in the 10 s after");
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "lockout" && mode != "flood") {
        std::fprintf(stderr, "usage: phone_attack lockout|flood [--seconds N]\n");
        return 2;
    }
    long seconds = mode == "lockout" ? 30 : 20;
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--seconds") {
            seconds = std::max(1L, std::atol(argv[i + 1]));
        }
    }
    // The server's process first, before this one has any thread.
    int up[2], down[2];
    if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(down, O_CLOEXEC) != 0) {
        std::perror("pipe");
        return 1;
    }
    const pid_t server = ::fork();
    if (server == 0) {
        ::close(up[0]);
        ::close(down[1]);
        ::_exit(serve(up[1], down[0]));
    }
    ::close(up[1]);
    ::close(down[0]);
    std::string hello;
    for (char c; hello.find('\n') == std::string::npos && ::read(up[0], &c, 1) == 1;) {
        hello += c;
    }
    const auto space = hello.find(' ');
    const auto port = static_cast<std::uint16_t>(std::atoi(hello.c_str()));
    const std::string credential =
        space == std::string::npos ? "" : hello.substr(space + 1, hello.size() - space - 2);
    const auto key = seal::keyFromText(credential.substr(credential.find('.') + 1));
    int status = 1;
    if (port != 0 && key) {
        RealCalls real(port, credential.substr(0, credential.find('.')), *key);
        real.once(); // learns the run, as the page's first call does
        real.count = real.answered = 0;
        real.latenciesMs.clear();
        std::printf("server resident at the start: %.1f MB\n",
                    static_cast<double>(residentKb(server)) / 1024);
        (mode == "lockout" ? lockout : flood)(port, real, std::chrono::seconds(seconds), server);
        status = 0;
    } else {
        std::fprintf(stderr, "phone_attack: the server did not start\n");
    }
    ::close(down[1]);
    ::waitpid(server, nullptr, 0);
    return status;
}
