#pragma once

#include <functional>

namespace torvane {

// Whether this process's login session is the one in front on its seat. With fast user switching every
// user's app sees the one Caps Lock LED; only the user at the keyboard may act on it. Main thread only.
class SessionActivity {
public:
    virtual ~SessionActivity() = default;

    // Also true when it cannot be told (no session manager, no session, no answer): such a machine
    // works as one with a single user.
    virtual bool isActive() const = 0;

    // `changed` runs on the main thread after each change of isActive(); an empty function ends the calls.
    virtual void onChange(std::function<void()> changed) = 0;
};

} // namespace torvane
