#pragma once

namespace torvane {

// The keyboard's lock state. Thread-safe: the main thread polls it and the phone link reads it from
// its own thread.
class KeyboardState {
public:
    virtual ~KeyboardState() = default;

    virtual bool capsLockOn() = 0;

    // The platform's, which the whole process shares, created on first use.
    static KeyboardState& shared();
};

} // namespace torvane
