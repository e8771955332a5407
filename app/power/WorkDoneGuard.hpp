#pragma once

#include "common/Clock.hpp"
#include "common/FileChange.hpp"

#include <cstdint>
#include <optional>

namespace torvane {

// The work-done latch ("作業が終わったら解除"), over the last tmux listing. Every session quiet for
// Config::workDoneAfterSeconds releases carry mode, counted from when carry mode came on at the
// earliest, so carry mode turned on beside work that ended long ago (or with no session at all) is not
// dropped at once. New output, Caps Lock off or the setting turned off lift the release. A listing that
// is missing or came back empty-handed says nothing about the work: things stay as they are.
class WorkDoneGuard {
public:
    enum class Change { none, released, recovered };
    struct Reading {
        bool enabled = false; // the setting
        bool capsLockOn = false;
        bool active = false;        // carry mode as last decided
        bool tmuxAvailable = false; // without tmux there is no telling whether work goes on
        // The shortest time without output over the listed sessions (none listed: unlimited); absent
        // before the first listing and when tmux did not answer in time.
        std::optional<std::int64_t> quietSeconds{};
        BootSeconds activeFor{}; // since carry mode last came on
    };
    struct Result {
        Change change = Change::none;
        bool wantsListing = false; // the answer counts: a fresh listing is worth asking for
    };

    Result update(const Reading& reading);
    bool blocked() const { return blocked_; }

private:
    bool blocked_ = false;
};

} // namespace torvane
