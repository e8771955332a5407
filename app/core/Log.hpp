#pragma once

#include "app/core/SerialQueue.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace torvane {

// The application's log: each line goes to standard error at once, on the caller's thread, and is
// appended to the log file by one writer thread, in call order. Logging never fails towards the caller.
class Log {
public:
    using Location = std::function<std::filesystem::path()>;
    using Tap = std::function<void(std::string_view message)>;

    // The application's log (standard error and Config::logPath()).
    static void write(std::string_view message);
    static Log& shared();

    explicit Log(Location location, bool toStandardError = true);
    ~Log(); // writes what is queued, then stops the writer
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void append(std::string_view message);

    // Blocks until every line queued before the call is in the file.
    void flush();

    // Sees every message (without time stamp) as it is logged; for tests and diagnostics.
    std::uint64_t addTap(Tap tap);
    void removeTap(std::uint64_t id);

private:
    void appendToFile(const std::string& line);

    Location location_;
    bool toStandardError_;

    std::mutex tapMutex_;
    std::map<std::uint64_t, Tap> taps_;
    std::uint64_t nextTap_ = 1;

    SerialQueue writer_; // last: its tasks use everything above
};

} // namespace torvane
