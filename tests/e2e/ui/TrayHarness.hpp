#pragma once

// The tray app under a private X server with a real tray (trayer), as the end-to-end tests drive it.
#include "common/Subprocess.hpp"
#include "tests/fakes/TestSupport.hpp"

#include <QImage>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace torvane::test {

using namespace std::chrono_literals;

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

// A home of its own for one run of the app: settings, log, runtime and tmux directories, shared
// directory and the menu probe's file.
class AppHome {
public:
    std::filesystem::path shared() const { return root_ / "shared"; }
    std::filesystem::path request() const { return shared() / "request"; }
    std::filesystem::path probe() const { return root_ / "menu-probe"; }
    std::filesystem::path output() const { return root_ / "app-output"; }
    std::filesystem::path path() const { return root_.path(); }

    std::string requestContent() const { return readFile(request()); }
    std::vector<std::string> logLines() const { return logMessages(root_ / "state/torvane/Torvane.log"); }
    bool logged(const std::string& message) const {
        const auto all = logLines();
        return std::find(all.begin(), all.end(), message) != all.end();
    }

    // The test's environment with every per-user place and the display replaced.
    std::vector<std::string> environment(const std::string& display) const {
        const std::string r = root_.path().string();
        std::vector<std::string> env{"HOME=" + r + "/home",
                                     "XDG_STATE_HOME=" + r + "/state",
                                     "XDG_CONFIG_HOME=" + r + "/config",
                                     "XDG_CACHE_HOME=" + r + "/cache",
                                     "XDG_RUNTIME_DIR=" + r + "/runtime",
                                     "TMUX_TMPDIR=" + r + "/tmux",
                                     "TORVANE_TEST_SUPPORT_DIR=" + shared().string(),
                                     "TORVANE_TEST_MENU_PROBE=" + probe().string(),
                                     "LSAN_OPTIONS=suppressions=" + std::string(TORVANE_SOURCE_DIR) +
                                         "/tests/fakes/lsan-qt.supp"};
        if (!display.empty())
            env.push_back("DISPLAY=" + display);
        static const std::set<std::string> dropped{
            "HOME",        "XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",  "XDG_RUNTIME_DIR",
            "TMUX_TMPDIR", "DISPLAY",        "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS",
            "LSAN_OPTIONS"};
        for (char** e = environ; *e; ++e)
            if (const std::string entry = *e; !dropped.contains(entry.substr(0, entry.find('='))))
                env.push_back(entry);
        return env;
    }

private:
    test::TempDir root_;
    bool made_ = [this] {
        for (const char* dir : {"home", "state", "config", "cache", "runtime", "tmux", "shared"})
            std::filesystem::create_directories(root_ / dir);
        std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);
        return true;
    }();
};

// `outputFd`: standard output and error on that descriptor instead of the output file.
inline std::unique_ptr<test::ChildProcess> startApp(const AppHome& home, const std::string& display,
                                                    int outputFd = -1) {
    return std::make_unique<test::ChildProcess>(std::vector<std::string>{TORVANE_TEST_APP}, home.output(),
                                                home.environment(display), -1, outputFd);
}

inline std::unique_ptr<test::ChildProcess> startTray(const AppHome& home, const std::string& display) {
    return std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "request", "--height", "28", "--SetDockType", "true"},
        home.path() / "trayer-output", home.environment(display));
}

inline SubprocessResult x11(const std::string& display, const std::string& tool,
                            const std::vector<std::string>& args) {
    return runSubprocess(tool, args,
                         {.timeLimit = 20s, .environment = std::vector<std::string>{"DISPLAY=" + display}});
}

// The app's icon window once the tray (a panel along the top edge) has embedded it: bigger than a dot.
inline std::optional<Rect> embeddedIcon(const std::string& display) {
    const SubprocessResult tree = x11(display, "/usr/bin/xwininfo", {"-root", "-tree"});
    static const std::regex icon(
        R"(\("torvane_test_app" "[^"]*"\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(\d+)\+(\d+))");
    std::istringstream in(tree.out);
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, icon) && std::stoi(m[1]) > 4 && std::stoi(m[2]) > 4 &&
            std::stoi(m[4]) < 28)
            return Rect{std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[1]), std::stoi(m[2])};
    return std::nullopt;
}

// Opens the menu with a left click on the icon, as a user would, and gives its rows as the probe wrote
// them (none when no menu showed). The icon is found again for each try: the tray may still move its
// panel after embedding.
inline std::vector<std::string> openMenu(const std::string& display, const AppHome& home,
                                         std::chrono::milliseconds limit = 20s) {
    std::filesystem::remove(home.probe());
    waitFor(
        [&] {
            const std::optional<Rect> icon = embeddedIcon(display);
            return icon &&
                   x11(display, "/usr/bin/xdotool",
                       {"mousemove", std::to_string(icon->x + icon->width / 2),
                        std::to_string(icon->y + icon->height / 2), "click", "1"})
                       .ok() &&
                   waitFor([&] { return !readLines(home.probe()).empty(); }, 2s);
        },
        limit);
    return readLines(home.probe());
}

// The share of green pixels in the icon, from a screenshot; the icon's place is read again with it,
// as the tray may still move its panel after embedding.
inline double greenShare(const std::string& display, const AppHome& home) {
    const std::optional<Rect> r = embeddedIcon(display);
    const auto file = home.path() / "screen.png";
    if (!r || !x11(display, "/usr/bin/import", {"-window", "root", file.string()}).ok())
        return -1;
    const QImage image(QString::fromStdString(file.string()));
    int green = 0;
    for (int y = r->y; y < r->y + r->height && y < image.height(); ++y)
        for (int x = r->x; x < r->x + r->width && x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            green += c.green() > 150 && c.red() < 120 && c.blue() < 140;
        }
    return double(green) / (r->width * r->height);
}

} // namespace torvane::test
