#pragma once

#include "app/core/Settings.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torvane::push {

// An ntfy topic URL. The path names the topic and is as good as a password: only `place` (host and
// port) is ever shown or logged.
struct Endpoint {
    std::string url;
    std::string place;
    bool operator==(const Endpoint&) const = default;
};

// A command run without a shell, the message on its standard input.
struct Command {
    std::string executable; // found on PATH when given as a bare name
    std::vector<std::string> arguments;
    bool operator==(const Command&) const = default;
};

// Where notifications go and what they carry, as the settings say at one moment.
struct Targets {
    std::optional<Endpoint> endpoint; // notifyURL
    std::optional<Command> command;   // notifyCommand
    bool off = false;                 // notifyOff: both kept, neither used
    int screenLines = 0;              // notifyScreenLines
    bool desktop = false;             // notifyDesktop: `input` also as a desktop notification

    bool sends() const { return !off && (endpoint || command); }
    // "ntfy.sh", "コマンド notify-tool", both joined: where the messages go, without secrets.
    std::string description() const;
};

inline constexpr int maxScreenLines = 20;

template <class T> struct Parsed {
    std::optional<T> value;
    std::string error; // why not, when the text was not empty
};

// http or https with a host and a topic; nothing else is accepted.
Parsed<Endpoint> parseEndpoint(std::string_view text);
// A JSON array of strings, the first naming the program; text that is not an array names a program
// run without arguments.
Parsed<Command> parseCommand(std::string_view json);

// Reads the notification settings, each time afresh (a hand edit counts at the next message). A value
// that cannot be used counts as unset and is reported once per offending value, not once per read.
// Not thread-safe: one reader.
class TargetReader {
public:
    Targets read(const Settings& settings);

private:
    std::vector<std::string> warned_; // "key=value" reported so far
    void warnOnce(std::string_view key, const std::string& value, const std::string& error);
};

} // namespace torvane::push
