#pragma once

// The tray app under a private X server with a real tray (trayer), as the end-to-end tests drive it.
#include "common/Subprocess.hpp"
#include "tests/e2e/ui/ChildProcess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <QImage>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace torvane::test {

using namespace std::chrono_literals;

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool contains(const Rect& r) const {
        return r.x >= x && r.y >= y && r.x + r.width <= x + width && r.y + r.height <= y + height;
    }
    int centerX() const { return x + width / 2; }
    int centerY() const { return y + height / 2; }
};

// A home of its own for one run of the app.
class AppHome {
public:
    AppHome() {
        for (const char* dir : {"home", "state", "config", "cache", "runtime", "tmux", "shared"})
            std::filesystem::create_directories(root_ / dir);
        std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);
    }

    std::filesystem::path shared() const { return root_ / "shared"; }
    std::filesystem::path request() const { return shared() / "request"; }
    std::filesystem::path log() const { return root_ / "state/torvane/Torvane.log"; }
    std::filesystem::path probe() const { return root_ / "menu-probe"; }
    std::filesystem::path output() const { return root_ / "app-output"; }
    std::filesystem::path path() const { return root_.path(); }

    std::string requestContent() const {
        std::error_code ec;
        return std::filesystem::exists(request(), ec) ? test::readFile(request()) : "";
    }
    std::vector<std::string> logLines() const {
        std::vector<std::string> lines;
        std::error_code ec;
        if (!std::filesystem::exists(log(), ec))
            return lines;
        std::istringstream in(test::readFile(log()));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.size() > 21 ? line.substr(21) : line); // without the time stamp
        return lines;
    }
    bool logged(const std::string& message) const {
        const auto lines = logLines();
        return std::find(lines.begin(), lines.end(), message) != lines.end();
    }

    // The test's environment with every per-user place, the display and the shared directory replaced.
    std::vector<std::string> environment(const std::string& display) const {
        static const std::vector<std::string> replaced{"HOME=",
                                                       "XDG_STATE_HOME=",
                                                       "XDG_CONFIG_HOME=",
                                                       "XDG_CACHE_HOME=",
                                                       "XDG_RUNTIME_DIR=",
                                                       "TMUX_TMPDIR=",
                                                       "DISPLAY=",
                                                       "WAYLAND_DISPLAY=",
                                                       "QT_QPA_PLATFORM=",
                                                       "DBUS_SESSION_BUS_ADDRESS=",
                                                       "LSAN_OPTIONS=",
                                                       "TORVANE_TEST_"};
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (std::none_of(replaced.begin(), replaced.end(),
                             [&](const std::string& p) { return entry.rfind(p, 0) == 0; }))
                env.push_back(entry);
        }
        const std::string r = root_.path().string();
        env.push_back("HOME=" + r + "/home");
        env.push_back("XDG_STATE_HOME=" + r + "/state");
        env.push_back("XDG_CONFIG_HOME=" + r + "/config");
        env.push_back("XDG_CACHE_HOME=" + r + "/cache");
        env.push_back("XDG_RUNTIME_DIR=" + r + "/runtime");
        env.push_back("TMUX_TMPDIR=" + r + "/tmux");
        env.push_back("LSAN_OPTIONS=suppressions=" + std::string(TORVANE_SOURCE_DIR) +
                      "/tests/fakes/lsan-qt.supp");
        env.push_back("TORVANE_TEST_SUPPORT_DIR=" + shared().string());
        env.push_back("TORVANE_TEST_MENU_PROBE=" + probe().string());
        if (!display.empty())
            env.push_back("DISPLAY=" + display);
        return env;
    }

private:
    test::TempDir root_;
};

inline std::unique_ptr<test::ChildProcess> startApp(const AppHome& home, const std::string& display) {
    return std::make_unique<test::ChildProcess>(std::vector<std::string>{TORVANE_TEST_APP},
                                                home.environment(display), home.output());
}

inline std::unique_ptr<test::ChildProcess> startTray(const AppHome& home, const std::string& display) {
    return std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "request", "--height", "28", "--SetDockType", "true"},
        home.environment(display), home.path() / "trayer-output");
}

inline SubprocessResult x11(const std::string& display, const std::string& tool,
                            const std::vector<std::string>& args) {
    return runSubprocess(tool, args,
                         {.timeLimit = 20s, .environment = std::vector<std::string>{"DISPLAY=" + display}});
}

// The app's icon window once the tray has embedded it: inside the tray's panel, bigger than a dot.
inline std::optional<Rect> embeddedIcon(const std::string& display) {
    const SubprocessResult tree = x11(display, "/usr/bin/xwininfo", {"-root", "-tree"});
    if (!tree.ok())
        return std::nullopt;
    static const std::regex window(
        R"(\(("[^"]*") ("[^"]*")\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+))");
    std::optional<Rect> panel;
    std::optional<Rect> icon;
    std::istringstream in(tree.out);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, window))
            continue;
        const Rect r{std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[3]), std::stoi(m[4])};
        if (m[1] == "\"panel\"" && m[2] == "\"trayer\"")
            panel = r;
        if (m[1] == "\"torvane_test_app\"" && r.width > 4 && r.height > 4)
            icon = r;
    }
    if (panel && icon && panel->contains(*icon))
        return icon;
    return std::nullopt;
}

inline QImage screenshot(const std::string& display, const AppHome& home) {
    const auto file = home.path() / "screen.png";
    const SubprocessResult r = x11(display, "/usr/bin/import", {"-window", "root", file.string()});
    if (!r.ok())
        return {};
    return QImage(QString::fromStdString(file.string()));
}

inline std::vector<std::string> probeRows(const AppHome& home) {
    std::vector<std::string> rows;
    std::error_code ec;
    if (!std::filesystem::exists(home.probe(), ec))
        return rows;
    std::istringstream in(test::readFile(home.probe()));
    for (std::string line; std::getline(in, line);)
        rows.push_back(line);
    return rows;
}

} // namespace torvane::test
