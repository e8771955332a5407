#pragma once

#include "common/FileChange.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Phone notifications: what a watched session or carry mode has to tell someone who is not at the
// laptop, when, and through which service (Sender, Notices).
namespace torvane::push {

// A session as the notifications see it: waiting for its user, running a program, back at its shell
// prompt, or gone.
enum class State { input, working, shell, ended };

// "input", "working", "shell", "ended"; anything else is absent.
std::optional<State> stateNamed(std::string_view name);

struct Message {
    enum class Kind { input, finished, carryReleased, test };
    Kind kind = Kind::test;
    std::string session; // empty for the laptop's own
    std::string title;
    std::string body;     // UTF-8 text
    std::string priority; // ntfy's words: "high", "default"
    std::string tags;     // comma separated ntfy tags (shown as emoji)
};

// Which changes are worth a notification, and how often. Plain: no clock, thread or I/O of its own;
// the caller passes the boot clock, so a wall clock set back neither silences nor repeats anything.
//
// A session tells once per change into `input`, and once when its program finishes (`working` to
// `shell` or `ended`); at most one message per session every `spacing`. A message that comes too soon
// is held, replaced by a later one, dropped if the session moves on to a state nobody needs to hear
// about, and sent by due() once its turn comes: dropping it would hide the one thing worth knowing,
// a session that asks for input again right after the last message.
class Policy {
public:
    static constexpr BootSeconds spacing{30};
    // The longest body sent: ntfy turns a longer message into an attachment.
    static constexpr std::size_t maxBody = 3000;

    explicit Policy(std::string hostName);

    // `screen`: the session's last lines, oldest first, all of which go into the message.
    std::optional<Message> sessionChanged(std::string_view session, State from, State to, BootSeconds now,
                                          const std::vector<std::string>& screen = {});
    // Carry mode was taken down by a guard; `reason` is the sentence the user would read.
    std::optional<Message> carryReleased(std::string_view reason, std::string_view tags, BootSeconds now);
    // The held messages whose turn has come, and when the next one will.
    std::vector<Message> due(BootSeconds now);
    std::optional<BootSeconds> nextDue() const;

    Message test() const;
    const std::string& hostName() const { return host_; }

private:
    struct Slot {
        std::optional<State> state;
        std::optional<BootSeconds> lastSent;
        std::optional<Message> held;
    };
    std::optional<Message> offer(Slot& slot, Message message, BootSeconds now);
    void forgetEnded(BootSeconds now);

    std::string host_;
    std::map<std::string, Slot, std::less<>> sessions_;
    Slot carry_;
};

// Text fit for one line of a message: control characters become spaces, invalid UTF-8 is replaced,
// and at most `maxCodePoints` characters are kept.
std::string oneLine(std::string_view text, std::size_t maxCodePoints);

} // namespace torvane::push
