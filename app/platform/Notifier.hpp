#pragma once

#include <string_view>

namespace torvane {

// Desktop notifications, for the events nobody may be watching the tray for.
class Notifier {
public:
    virtual ~Notifier() = default;

    // Shows `text` under the application's name as an urgent notification. Without a notification
    // service nothing happens and nothing is reported; never blocks for long.
    virtual void notify(std::string_view text) = 0;
};

} // namespace torvane
