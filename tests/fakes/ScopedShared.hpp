#pragma once

namespace torvane::test {

// Makes a port's shared instance `port` for the guard's lifetime, then puts back the previous one.
template <class Port> class ScopedShared {
public:
    explicit ScopedShared(Port& port) : previous_(Port::installShared(&port)) {}
    ~ScopedShared() { Port::installShared(previous_); }
    ScopedShared(const ScopedShared&) = delete;
    ScopedShared& operator=(const ScopedShared&) = delete;

private:
    Port* previous_;
};

} // namespace torvane::test
