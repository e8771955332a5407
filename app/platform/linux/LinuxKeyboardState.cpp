#include "app/platform/linux/LinuxKeyboardState.hpp"

#include "app/platform/linux/SysfsText.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <set>
#include <system_error>

namespace torvane {

struct LinuxKeyboardState::XConnection {
    Display* display = nullptr;
    bool broken = false; // set by Xlib's I/O error exit handler

    ~XConnection();
};

namespace {

// Xlib's reaction to a lost server is exit(), first in the process-wide handler and then in the
// display's exit handler. For our own connections both only mark the display dead (Xlib then makes
// every later call on it return at once) and Caps Lock reads as off until the server is back; any
// other display in the process keeps the handler it had.
std::mutex ownDisplaysMutex;
std::multiset<Display*> ownDisplays; // a freed address may come back for a new display
XIOErrorHandler previousIOErrorHandler = nullptr;

int onIOError(Display* display) {
    {
        const std::lock_guard lock(ownDisplaysMutex);
        if (ownDisplays.count(display))
            return 0;
    }
    return previousIOErrorHandler ? previousIOErrorHandler(display) : 0;
}

void onConnectionLost(Display*, void* userData) {
    *static_cast<bool*>(userData) = true;
}

void adopt(Display* display, bool* brokenFlag) {
    static std::once_flag installed;
    std::call_once(installed, [] { previousIOErrorHandler = XSetIOErrorHandler(onIOError); });
    {
        const std::lock_guard lock(ownDisplaysMutex);
        ownDisplays.insert(display);
    }
    XSetIOErrorExitHandler(display, onConnectionLost, brokenFlag);
}

void forget(Display* display) {
    const std::lock_guard lock(ownDisplaysMutex);
    if (const auto it = ownDisplays.find(display); it != ownDisplays.end())
        ownDisplays.erase(it);
}

} // namespace

LinuxKeyboardState::XConnection::~XConnection() {
    if (!display)
        return;
    XCloseDisplay(display); // still ours meanwhile: closing a dead connection reports another error
    forget(display);
}

LinuxKeyboardState::LinuxKeyboardState(std::filesystem::path ledsRoot, std::optional<std::string> display,
                                       std::chrono::milliseconds reconnectInterval)
    : ledsRoot_(std::move(ledsRoot)), display_(std::move(display)), reconnectInterval_(reconnectInterval) {}

LinuxKeyboardState::~LinuxKeyboardState() = default;

bool LinuxKeyboardState::capsLockOn() {
    if (const std::optional<bool> led = ledState())
        return *led;
    return xkbState().value_or(false);
}

std::optional<bool> LinuxKeyboardState::ledState() const {
    std::optional<bool> state;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(ledsRoot_, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->path().filename().string().ends_with("::capslock"))
            continue;
        const std::optional<std::int64_t> brightness = sysfs::readInteger(it->path() / "brightness");
        if (!brightness)
            continue;
        if (*brightness > 0)
            return true;
        state = false;
    }
    return state;
}

std::optional<bool> LinuxKeyboardState::xkbState() {
    const std::lock_guard lock(mutex_);
    if (x_ && x_->broken)
        x_.reset();
    if (!x_) {
        const auto now = std::chrono::steady_clock::now();
        if (lastFailedConnect_ && now - *lastFailedConnect_ < reconnectInterval_)
            return std::nullopt;
        Display* display = XOpenDisplay(display_ ? display_->c_str() : nullptr);
        if (!display) {
            lastFailedConnect_ = now;
            return std::nullopt;
        }
        lastFailedConnect_.reset();
        x_ = std::make_unique<XConnection>();
        x_->display = display;
        adopt(display, &x_->broken);
    }
    XkbStateRec state{};
    const Status status = XkbGetState(x_->display, XkbUseCoreKbd, &state);
    if (x_->broken) {
        x_.reset();
        lastFailedConnect_ = std::chrono::steady_clock::now();
        return std::nullopt;
    }
    if (status != Success)
        return std::nullopt;
    return (state.locked_mods & LockMask) != 0;
}

} // namespace torvane
