#include "app/tmux/TmuxControl.hpp"

#include "app/tmux/ControlProtocol.hpp"
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>

namespace torvane {
namespace {

using namespace std::chrono_literals;
using Kind = TmuxControl::Kind;

// What the reader thread reported, kept for the test's thread.
struct Seen {
    mutable std::mutex mutex;
    std::map<std::string, std::string> output; // by pane
    std::vector<std::pair<Kind, std::string>> events;

    void operator()(const TmuxControl::Change& c) {
        std::lock_guard lock(mutex);
        if (c.kind == Kind::output)
            output[std::string(c.id)].append(c.data);
        else
            events.emplace_back(c.kind, std::string(c.kind == Kind::ended ? c.data : c.id));
    }
    std::string of(const std::string& pane) const {
        std::lock_guard lock(mutex);
        return output.count(pane) ? output.at(pane) : "";
    }
    std::size_t ends() const {
        std::lock_guard lock(mutex);
        return std::count_if(events.begin(), events.end(),
                             [](auto& e) { return e.first == Kind::ended || e.first == Kind::serverGone; });
    }
    bool saw(Kind kind, const std::string& what = {}) const {
        std::lock_guard lock(mutex);
        return std::any_of(events.begin(), events.end(), [&](auto& e) {
            return e.first == kind && e.second.find(what) != std::string::npos;
        });
    }
};

// The children of this process, from every thread's list.
std::set<pid_t> children() {
    std::set<pid_t> pids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "children");
        for (pid_t pid; in >> pid;)
            pids.insert(pid);
    }
    return pids;
}

std::size_t openFds() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// A real tmux server of each test's own, under the private directory the test main sets.
class TmuxControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmux_.isAvailable());
        static const std::string root = std::getenv("TMUX_TMPDIR");
        static int count = 0;
        const std::string dir = root + "/c" + std::to_string(++count);
        std::filesystem::create_directories(dir);
        ::setenv("TMUX_TMPDIR", dir.c_str(), 1);
        ::setenv("SHELL", "/bin/sh", 1);
        test::writeFile(dir_ / "shrc", "PS1='ready> '\n");
        ::setenv("ENV", (dir_ / "shrc").c_str(), 1);
    }
    void TearDown() override {
        control_.stop();
        raw({"kill-server"});
    }
    SubprocessResult raw(const std::vector<std::string>& arguments) {
        return runSubprocess(*tmux_.executablePath(), arguments, {.timeLimit = 10s});
    }
    void newSession(const std::string& name) {
        ASSERT_TRUE(raw({"new-session", "-d", "-s", name, "-x", "100", "-y", "30"}).ok()) << name;
        ASSERT_TRUE(test::waitFor([&] {
            return raw({"capture-pane", "-p", "-t", "=" + name + ":"}).out.find("ready>") !=
                   std::string::npos;
        }));
    }
    std::string pane(const std::string& name) {
        return raw({"display-message", "-p", "-t", "=" + name + ":", "#{pane_id}"}).out.substr(0, 2);
    }
    void type(const std::string& name, const std::string& keys) {
        ASSERT_TRUE(raw({"send-keys", "-t", "=" + name + ":", "-l", keys}).ok());
        ASSERT_TRUE(raw({"send-keys", "-t", "=" + name + ":", "Enter"}).ok());
    }

    test::TempDir dir_;
    Tmux tmux_;
    Seen seen_;
    TmuxControl control_{tmux_, std::ref(seen_)};
};

TEST_F(TmuxControlTest, OutputArrivesDecodedAndAnswersStayWholeWhileOutputFloods) {
    newSession("A");
    ASSERT_TRUE(control_.watch("A"));
    EXPECT_TRUE(seen_.saw(Kind::session, "A"));
    EXPECT_EQ(raw({"list-sessions", "-F", "#{session_attached} #{window_width}x#{window_height}"}).out,
              "1 100x30\n")
        << "attached, and the window's size untouched";
    const std::string a = pane("A");
    EXPECT_EQ(control_.command("display-message -p '#{pane_id}'"), a + "\n");

    type("A", R"(printf '<\303\251\344\273\225\t\033[1m\\\001>\n')");
    EXPECT_TRUE(test::waitFor([&] { return seen_.of(a).find("<é仕\t\033[1m\\\x01>") != std::string::npos; }))
        << seen_.of(a);

    type("A", "seq 1 100000");
    int answered = 0;
    while (seen_.of(a).find("\r\n100000\r\n") == std::string::npos && answered < 2000) {
        ASSERT_EQ(control_.command("display-message -p '#{session_name}'"), "A\n");
        const auto screen = control_.command("capture-pane -p -e -t '=A:'");
        ASSERT_TRUE(screen);
        EXPECT_EQ(std::count(screen->begin(), screen->end(), '\n'), 30) << *screen;
        ++answered;
    }
    EXPECT_TRUE(test::waitFor([&] { return seen_.of(a).find("\r\n100000\r\n") != std::string::npos; }));
    EXPECT_NE(seen_.of(a).find("\r\n1\r\n2\r\n3\r\n"), std::string::npos) << "nothing lost";
    EXPECT_EQ(control_.command("display-message -p '#{window_width}x#{window_height}'"), "100x30\n");
}

TEST_F(TmuxControlTest, HostileTextRoundTripsAndUnsafeLinesAreRefused) {
    newSession("A");
    // new-session expands "#{" and tmux prints "\\" and "$" in names escaped: those go in the texts.
    const std::string name = "it's; \"x\" ~ {y} 仕事";
    newSession(name);
    ASSERT_TRUE(control_.watch("A"));
    for (const std::string& text :
         std::vector<std::string>{"it's", "'", "''\\''", "a\"b\\c\\", "; kill-server", "#{session_name}",
                                  "$HOME ~ ~root", "{ x }", "\\", "tab\tesc\033 é\x01", name}) {
        const auto quoted = control::quoteArgument(text);
        ASSERT_TRUE(quoted);
        ASSERT_TRUE(control_.command("set-buffer -b t " + *quoted)) << text;
        EXPECT_EQ(raw({"show-buffer", "-b", "t"}).out, text);
    }
    EXPECT_FALSE(control::quoteArgument("a\nb"));
    EXPECT_FALSE(control::quoteArgument("a\rb"));
    for (const std::string line :
         {"display-message -p a ; kill-server", "display-message -p a\nkill-server", "", " display-message",
          "# kill-server", "%hidden X=1", "X=1", "display-message -p 'a", "display-message -p a \\",
          "if 1 { kill-server }"})
        EXPECT_FALSE(control_.command(line)) << line;
    EXPECT_EQ(control_.command("display-message -p \"a;b\" "), "a;b\n") << "a quoted ; is an argument";
    EXPECT_FALSE(control_.command("has-session -t '=nope'")) << "an error is no answer";

    // The hostile name reaches tmux whole, and the output follows the switch.
    const std::string a = pane("A"), b = pane(name);
    ASSERT_TRUE(control_.watch(name));
    EXPECT_EQ(control_.session(), name);
    type("A", "echo in-A");
    type(name, "echo in-B");
    EXPECT_TRUE(test::waitFor([&] { return seen_.of(b).find("in-B\r\n") != std::string::npos; }));
    EXPECT_NE(control_.command("display-message -p '#{client_flags}'").value_or("").find("ignore-size"),
              std::string::npos);
    raw({"rename-session", "-t", "=" + name, "B2"});
    EXPECT_TRUE(test::waitFor([&] { return control_.session() == "B2"; }));
    type("A", "echo again-A");
    type("B2", "echo again-B");
    EXPECT_TRUE(test::waitFor([&] { return seen_.of(b).find("again-B\r\n") != std::string::npos; }));
    EXPECT_EQ(seen_.of(a).find("in-A"), std::string::npos) << "A is no longer watched";
}

TEST_F(TmuxControlTest, EndsAreReportedAndLeaveNoProcessOrDescriptor) {
    newSession("A");
    newSession("B");
    const auto fds = openFds();
    const auto before = children();

    // The watched session ends, also when tmux would move the client to another one.
    ASSERT_TRUE(raw({"set-option", "-g", "detach-on-destroy", "off"}).ok());
    ASSERT_TRUE(control_.watch("A"));
    const pid_t first = control_.clientPid();
    EXPECT_TRUE(children().count(first));
    ASSERT_TRUE(raw({"kill-session", "-t", "=A"}).ok());
    EXPECT_TRUE(test::waitFor([&] { return seen_.saw(Kind::ended, "セッションが終了しました"); }));
    EXPECT_FALSE(control_.isWatching());
    EXPECT_FALSE(seen_.saw(Kind::session, "B"));
    EXPECT_TRUE(test::waitFor([&] { return children() == before && openFds() == fds; }));
    EXPECT_FALSE(control_.command("display-message -p x", 1s));

    // A session that is not there: refused, reported, and not tried again at once.
    EXPECT_FALSE(control_.watch("A"));
    EXPECT_TRUE(test::waitFor([&] { return seen_.saw(Kind::ended, "can't find session"); }));
    const auto retried = std::chrono::steady_clock::now();
    EXPECT_FALSE(control_.watch("B"));
    EXPECT_LT(std::chrono::steady_clock::now() - retried, 100ms);

    // The server ends.
    ASSERT_TRUE(test::waitFor([&] { return control_.watch("B"); }, 5s));
    ASSERT_TRUE(raw({"kill-server"}).ok());
    EXPECT_TRUE(test::waitFor([&] { return seen_.saw(Kind::serverGone); }));
    EXPECT_TRUE(test::waitFor([&] { return children() == before && openFds() == fds; }));

    // A stop while watching reports nothing and leaves nothing.
    newSession("C");
    ASSERT_TRUE(control_.watch("C"));
    const auto ends = seen_.ends();
    control_.stop();
    EXPECT_EQ(children(), before);
    EXPECT_EQ(openFds(), fds);
    EXPECT_EQ(seen_.ends(), ends);
}

// A tmux that never answers: no call waits past its limit, and the client is ended and reaped.
TEST(TmuxControlHung, NoCallOutlastsItsLimit) {
    test::TempDir dir;
    test::writeExecutable(dir / "tmux", "#!/bin/sh\nexec sleep 30\n");
    Tmux hung({(dir / "tmux").string()});
    Seen seen;
    TmuxControl control(hung, std::ref(seen));
    const auto before = children();
    const auto fds = openFds();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(control.watch("A", 300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2500ms);
    EXPECT_EQ(children(), before);
    EXPECT_EQ(openFds(), fds);
    EXPECT_EQ(seen.ends(), 0u) << "a stop of its own is not reported";
}

TEST(ControlProtocol, AnOverlongLineIsDroppedWithoutLosingTheLinesAround) {
    control::LineSplitter splitter(16);
    std::vector<std::pair<std::string, std::size_t>> lines;
    const std::string stream = "%output %1 a\n%output %2 " + std::string(40, 'x') + "\n%end 1 2 1\n";
    for (std::size_t i = 0; i < stream.size(); i += 7) // in pieces, as reads come
        splitter.feed(std::string_view(stream).substr(i, 7), [&](std::string_view l, std::size_t overlong) {
            lines.emplace_back(std::string(l), overlong);
        });
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].first, "%output %1 a");
    EXPECT_EQ(lines[0].second, 0u);
    EXPECT_EQ(lines[1].first.substr(0, 11), "%output %2 ");
    EXPECT_EQ(lines[1].second, 51u);
    EXPECT_EQ(lines[2].first, "%end 1 2 1");
    EXPECT_EQ(lines[2].second, 0u);
}

} // namespace
} // namespace torvane
