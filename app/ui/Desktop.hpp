#pragma once

#include <filesystem>

namespace torvane {

// The few desktop services the delegate asks for.
class Desktop {
public:
    virtual ~Desktop() = default;
    virtual void beep() = 0;
    // Opens the file with the user's default application; a failure is silent.
    virtual void openFile(const std::filesystem::path& path) = 0;
    // Asks the event loop to end; the orderly termination runs once it has.
    virtual void terminate() = 0;
};

} // namespace torvane
