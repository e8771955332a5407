#pragma once

#include "app/core/Config.hpp"

#include <filesystem>
#include <functional>

namespace torvane {

class AppDelegate;
class HelperInstaller;
class TrayShell;

struct ApplicationOptions {
    // The directory shared with the daemon.
    std::filesystem::path supportDir = std::filesystem::path(Config::supportDir);
    // Installs and removes the daemon; absent: the application's own (its resources, the platform's
    // privileged runner).
    HelperInstaller* installer = nullptr;
    // Runs right after the launch sequence, before the event loop.
    std::function<void(AppDelegate&, TrayShell&)> afterLaunch;
};

// Picks the Qt platform before the application object exists: the session's display when one is
// reachable, otherwise the offscreen platform, so the app also runs without any display. A platform
// the user chose through QT_QPA_PLATFORM is left alone.
void choosePlatform();

// The whole tray application: launch, the event loop, and the orderly end after "終了" or a stop
// signal. Returns the process's exit status.
int runApplication(int argc, char** argv, const ApplicationOptions& options = {});

} // namespace torvane
