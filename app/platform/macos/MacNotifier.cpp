#include "app/core/Config.hpp"
#include "app/platform/Platform.hpp"
#include "common/Subprocess.hpp"

#include <string>

namespace torvane {

namespace {

std::string appleScriptString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

class MacNotifier final : public Notifier {
public:
    void notify(std::string_view text) override {
        runSubprocess("/usr/bin/osascript",
                      {"-e", "display notification " + appleScriptString(text) + " with title " +
                                 appleScriptString(Config::appName)},
                      {.timeLimit = std::chrono::milliseconds(2000)});
    }
};

} // namespace

std::unique_ptr<Notifier> platform::makeNotifier() {
    return std::make_unique<MacNotifier>();
}

} // namespace torvane
