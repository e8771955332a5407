#pragma once

#include "app/core/Settings.hpp"

#include <istream>
#include <optional>
#include <ostream>
#include <span>
#include <string>

namespace torvane::PhoneCommands {

// One command line that pairs, lists or revokes phones, or renews the token. They change the
// settings file only, under its lock, so they work whether the app runs or not: a running app reads
// the change at its next request.
struct Command {
    enum class Kind { pair, pairingURL, pairingQR, phones, revoke, revokeAll, renewToken } kind;
    std::string name; // --pair --name, --revoke
    bool yes = false; // --revoke-all --yes
};

// The command in `args` (without the program's name); none when they are not exactly one command
// with its own options.
std::optional<Command> parse(std::span<char* const> args);

struct Terminal {
    std::istream& in;
    bool interactive; // `in` is a terminal a question can be put to
    std::ostream& out;
    std::ostream& err;
};

// Carries the command out: 0; 1 with the reason on `err`. `address` is this computer's on the
// network, for a pairing URL.
int run(const Command& command, Settings& settings, const std::optional<std::string>& address,
        Terminal terminal);

} // namespace torvane::PhoneCommands
