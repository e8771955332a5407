#include "app/core/Config.hpp"
#include "app/push/Notices.hpp"
#include "tests/fakes/FakeAlertPresenter.hpp"
#include "tests/fakes/MemorySettings.hpp"
#include "tests/fakes/TestSupport.hpp"
#include "tests/fakes/VirtualMainLoop.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using push::State;

struct Received {
    std::string method, path, body;
    std::map<std::string, std::string> headers; // names in lower case
};

// An HTTP server on 127.0.0.1 that records each request and answers 200, or, `answering` false,
// accepts and never answers.
class Receiver {
public:
    explicit Receiver(bool answering = true) : answering_(answering) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), size) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            throw std::runtime_error("no listening socket");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Receiver() {
        ::shutdown(fd_, SHUT_RDWR); // wakes accept
        thread_.join();
        ::close(fd_);
        for (int c : held_)
            ::close(c);
    }
    std::string url(std::string_view topic) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + std::string(topic);
    }
    std::string place() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<Received> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::atomic<int> accepted{0};

private:
    void serve() {
        for (int c; (c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            ++accepted;
            if (!answering_) {
                held_.push_back(c);
                continue;
            }
            timeval limit{2, 0};
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::string in;
            char buf[4096];
            std::size_t end;
            while ((end = in.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0)
                    break;
                in.append(buf, static_cast<std::size_t>(n));
            }
            Received r;
            std::size_t pos = in.find("\r\n");
            std::istringstream(in.substr(0, pos)) >> r.method >> r.path;
            for (std::size_t next; pos < end; pos = next) {
                next = in.find("\r\n", pos + 2);
                const std::string line = in.substr(pos + 2, next - pos - 2);
                std::string name = line.substr(0, line.find(':'));
                std::transform(name.begin(), name.end(), name.begin(), ::tolower);
                r.headers[name] = line.substr(std::min(line.size(), name.size() + 2));
            }
            r.body = in.substr(end + 4);
            const std::size_t length = std::stoul(r.headers["content-length"]);
            for (ssize_t n = 1; r.body.size() < length && n > 0; r.body.append(buf, std::max<ssize_t>(n, 0)))
                n = ::read(c, buf, sizeof buf);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(std::move(r));
            }
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
            (void)!::write(c, answer.data(), answer.size());
            ::close(c);
        }
    }

    bool answering_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Received> requests_;
    std::vector<int> held_;
};

struct NoticesFixture {
    explicit NoticesFixture(push::Sender::Options sending = {})
        : notices({loop, settings, alerts, nullptr, nullptr, [this] { return BootSeconds(loop.now()); },
                   "lap", sending}) {}
    void settle() { ASSERT_TRUE(notices.waitIdle(5s)); }

    test::LogCapture log;
    VirtualMainLoop loop;
    MemorySettings settings;
    test::FakeAlertPresenter alerts;
    push::Notices notices;
};

TEST(PushNotices, OneNtfyMessagePerChangeAtMostOnePerSessionEvery30Seconds) {
    Receiver phone;
    NoticesFixture f;
    f.settings.setString(Config::Key::notifyURL, phone.url("secret-topic"));
    f.settings.setInteger(Config::Key::notifyScreenLines, 2);

    f.notices.sessionChanged("build\r\nX-Evil: 1", State::working, State::input, {"one", "two", "three"});
    f.notices.sessionChanged("build\r\nX-Evil: 1", State::working, State::input); // the same change again
    f.notices.sessionChanged("tests", State::working, State::shell);
    f.settle();
    std::vector<Received> got = phone.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].path, "/secret-topic");
    EXPECT_EQ(got[0].headers["title"], "Torvane: build  X-Evil: 1") << "a session name cannot add a header";
    EXPECT_EQ(got[0].headers.count("x-evil"), 0u);
    EXPECT_EQ(got[0].headers["priority"], "high");
    EXPECT_EQ(got[0].headers["tags"], "bell");
    EXPECT_EQ(got[0].body, "build  X-Evil: 1 は入力待ちです（lap）\n\ntwo\nthree");
    EXPECT_EQ(got[1].headers["priority"], "default");
    EXPECT_EQ(got[1].headers["tags"], "white_check_mark");
    EXPECT_EQ(got[1].body, "tests の作業が終了しました（lap）");

    // 10 s later the build asks again: held until 30 s after its last message, then sent.
    f.loop.advance(10s);
    f.notices.sessionChanged("build\r\nX-Evil: 1", State::input, State::working);
    f.notices.sessionChanged("build\r\nX-Evil: 1", State::working, State::input);
    f.loop.advance(19s);
    f.settle();
    EXPECT_EQ(phone.requests().size(), 2u);
    f.loop.advance(1s);
    f.settle();
    ASSERT_EQ(phone.requests().size(), 3u);
    EXPECT_EQ(phone.requests()[2].headers["priority"], "high");

    // Held again, but answered before its turn: it is no longer true, so it never goes.
    f.notices.sessionChanged("build\r\nX-Evil: 1", State::input, State::working);
    f.notices.sessionChanged("build\r\nX-Evil: 1", State::working, State::input);
    f.notices.sessionChanged("build\r\nX-Evil: 1", State::input, State::working);
    f.loop.advance(60s);
    f.settle();
    EXPECT_EQ(phone.requests().size(), 3u);

    // The topic is a secret: the menu and the log name the host only.
    const MenuItem group = f.notices.menuRows().at(0);
    EXPECT_EQ(group.submenu.at(0).title, "送り先: " + phone.place());
    for (const std::string& line : f.log.lines())
        EXPECT_EQ(line.find("secret-topic"), std::string::npos) << line;
}

TEST(PushSender, AFailingServiceCostsOnlyItsOwnSendsAndIsLoggedOncePerKind) {
    test::LogCapture log;
    Receiver silent(false);
    std::mutex mutex;
    std::vector<std::string> errors;
    auto delivery = [&](const std::string& url) {
        return push::Delivery{push::Policy("lap").test(), push::parseEndpoint(url).value, std::nullopt,
                              [&](const std::string& e) {
                                  std::lock_guard lock(mutex);
                                  errors.push_back(e);
                              }};
    };
    auto errorCount = [&] {
        std::lock_guard lock(mutex);
        return errors.size();
    };
    {
        push::Sender sender({.timeLimit = 1s, .queueLimit = 2});
        const auto start = std::chrono::steady_clock::now();
        sender.send(delivery(silent.url("t")));
        ASSERT_TRUE(test::waitFor([&] { return silent.accepted == 1; }));
        for (int i = 0; i < 3; ++i)
            sender.send(delivery(silent.url("t")));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << "sending never waits for the service";
        EXPECT_EQ(sender.dropped(), 1u) << "a full queue drops its oldest";
        ASSERT_TRUE(test::waitFor([&] { return errorCount() == 2; }));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 1s) << "the first gave up at its time limit";

        // A refused connection is a failure of another kind: logged once more.
        const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{
            .sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        socklen_t size = sizeof a;
        ::bind(closed, reinterpret_cast<sockaddr*>(&a), size);
        ::getsockname(closed, reinterpret_cast<sockaddr*>(&a), &size);
        ::close(closed);
        sender.send(delivery("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/t"));
        ASSERT_TRUE(sender.waitIdle(10s));
    }
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_NE(errors[0].find("取りやめました"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find(silent.place() + ": 1 秒以内に応答がありません"), std::string::npos)
        << errors[1];
    EXPECT_NE(errors[4].find("接続できません"), std::string::npos) << errors[4];
    int timeouts = 0, refusals = 0;
    for (const std::string& line : log.lines()) {
        timeouts += line.find(silent.place() + " へ通知を送れません: 1 秒以内") != std::string::npos;
        refusals += line.find("へ通知を送れません: 接続できません") != std::string::npos;
    }
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(refusals, 1);

    // The end does not wait out a send that hangs.
    auto sender = std::make_unique<push::Sender>();
    sender->send(delivery(silent.url("t")));
    ASSERT_TRUE(test::waitFor([&] { return silent.accepted == 4; }));
    const auto start = std::chrono::steady_clock::now();
    sender.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// Answers the dialog from a script and notes what it was shown.
class ScriptedPrompt final : public TextPrompt {
public:
    std::vector<std::optional<std::string>> answers;
    std::vector<std::string> shown; // the text each ask started with
    std::optional<std::string> ask(const std::string&, const std::string&,
                                   const std::string& initial) override {
        shown.push_back(initial);
        if (answers.empty())
            return std::nullopt;
        auto answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
};

// The rows of the alerts' submenu by title; each must exist.
MenuItem row(push::Notices& notices, const std::string& title) {
    const std::vector<MenuItem> rows = notices.menuRows();
    for (const MenuItem& item : rows.at(0).submenu)
        if (item.title == title)
            return item;
    ADD_FAILURE() << "no row " << title;
    return {};
}

TEST(PushNotices, TheMenuSetsTheURLRefusingWhatCannotBeSentAndItsTestReachesTheService) {
    Receiver phone;
    ScriptedPrompt prompt;
    test::LogCapture log;
    VirtualMainLoop loop;
    MemorySettings settings;
    test::FakeAlertPresenter alerts;
    push::Notices notices(
        {loop, settings, alerts, &prompt, nullptr, [&] { return BootSeconds(loop.now()); }, "lap"});
    settings.setBoolean(Config::Key::notifyOff, true);
    EXPECT_EQ(notices.menuRows().at(0).title, "スマホへの通知: 未設定");
    EXPECT_FALSE(row(notices, "テスト通知を送る").enabled) << "nowhere to send to";

    prompt.answers = {" ftp://example.org/topic\n", "  " + phone.url("topic") + "\n"};
    row(notices, "送り先の URL を設定…").action();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "この URL は使えません");
    EXPECT_EQ(prompt.shown, (std::vector<std::string>{"", "ftp://example.org/topic"}))
        << "asked again with the refused text to mend";
    EXPECT_EQ(settings.string(Config::Key::notifyURL), phone.url("topic"));
    EXPECT_EQ(settings.boolean(Config::Key::notifyOff), false) << "a URL just set is meant to be used";
    EXPECT_EQ(notices.menuRows().at(0).title, "スマホへの通知: " + phone.place());

    row(notices, "テスト通知を送る").action();
    EXPECT_EQ(row(notices, "テスト通知を送信中…").enabled, false) << "one test at a time";
    ASSERT_TRUE(test::waitFor([&] {
        loop.runPosted();
        return alerts.shown.size() == 2;
    }));
    EXPECT_EQ(alerts.shown[1].message, "テスト通知を送りました");
    ASSERT_EQ(phone.requests().size(), 1u);
    EXPECT_EQ(phone.requests()[0].path, "/topic");
    EXPECT_EQ(phone.requests()[0].body, "テスト通知です。これが届けば通知の設定は動いています（lap）");

    prompt.answers = {std::nullopt};
    row(notices, "送り先の URL を設定…").action();
    EXPECT_EQ(settings.string(Config::Key::notifyURL), phone.url("topic")) << "cancelled: kept";
    prompt.answers = {""};
    row(notices, "送り先の URL を設定…").action();
    EXPECT_EQ(settings.string(Config::Key::notifyURL), "");
    EXPECT_EQ(notices.menuRows().at(0).title, "スマホへの通知: 未設定");
}

TEST(PushNotices, CommandGetsTheMessageOnStandardInputAndBadSettingsAreReportedOnce) {
    test::TempDir dir;
    NoticesFixture f;
    f.settings.setString(Config::Key::notifyURL, "ftp://example.org/topic");
    f.settings.setString(Config::Key::notifyCommand, "[]");
    f.notices.menuRows();
    f.notices.sendTest();
    f.notices.sessionChanged("s", State::working, State::input);
    ASSERT_EQ(f.alerts.shown.size(), 1u);
    EXPECT_EQ(f.alerts.shown[0].message, "テスト通知を送れません");
    int warnings = 0;
    for (const std::string& line : f.log.lines())
        warnings += line.rfind("WARN: 設定 notify", 0) == 0;
    EXPECT_EQ(warnings, 2) << "one line per bad value, however often it is read";

    test::writeExecutable(dir / "tell",
                          "#!/bin/sh\ncat > \"$1\"\nprintf %s \"$TORVANE_TITLE\" > \"$1.title\"\n"
                          "[ -z \"$2\" ] || { echo \"$2\" >&2; exit 3; }\n");
    const std::string out = (dir / "out").string();
    f.settings.setString(Config::Key::notifyURL, "");
    f.settings.setString(Config::Key::notifyCommand,
                         "[\"" + (dir / "tell").string() + "\", \"" + out + "\"]");
    f.notices.sendTest();
    ASSERT_TRUE(test::waitFor([&] {
        f.loop.runPosted();
        return f.alerts.shown.size() == 2;
    }));
    EXPECT_EQ(f.alerts.shown[1].message, "テスト通知を送りました");
    EXPECT_EQ(test::readFile(out), "テスト通知です。これが届けば通知の設定は動いています（lap）");
    EXPECT_EQ(test::readFile(out + ".title"), "Torvane: テスト通知");

    f.settings.setString(Config::Key::notifyCommand,
                         "[\"" + (dir / "tell").string() + "\", \"" + out + "\", \"no route\"]");
    f.notices.sendTest();
    ASSERT_TRUE(test::waitFor([&] {
        f.loop.runPosted();
        return f.alerts.shown.size() == 3;
    }));
    EXPECT_EQ(f.alerts.shown[2].informativeText, (dir / "tell").string() + ": 終了コード 3: no route");
}

} // namespace
} // namespace torvane
