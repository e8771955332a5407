#pragma once

namespace torvane {

// The keyboard's lock state. Thread-safe: the main thread polls it and the phone link reads it from
// its own thread.
class KeyboardState {
public:
    virtual ~KeyboardState() = default;

    virtual bool capsLockOn() = 0;

    // The one the whole process shares: an installed one, else the platform's, created on first use.
    static KeyboardState& shared();
    // Makes `keyboard` the shared one (nullptr: back to the platform's) and returns the one it
    // replaces (nullptr when that was the platform's). The caller keeps `keyboard` alive meanwhile.
    static KeyboardState* installShared(KeyboardState* keyboard);
};

} // namespace torvane
