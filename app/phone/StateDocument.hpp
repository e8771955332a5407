#pragma once

#include "app/power/CarryLink.hpp"
#include "app/power/PowerState.hpp"
#include "app/tmux/AttentionTracker.hpp"
#include "app/tmux/Tmux.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace torvane {

// The state document of GET /api/state: the sessions, battery, Caps Lock and carry mode, as
// {"sessions":[…],"tmux":…,"battery":…,"onAC":…,"capsLock":…,"carry":…} without any white space.
// Each session's "attention" comes last in its object, from the tracker the tray shares.
class StateDocument {
public:
    using PowerReader = std::function<PowerState()>;
    using CapsLockReader = std::function<bool()>;

    StateDocument(Tmux& tmux, PowerReader power, CapsLockReader capsLock)
        : tmux_(tmux), power_(std::move(power)), capsLock_(std::move(capsLock)) {}

    // Carry mode's state and pause; without it "carry" is null. Before serving.
    void setCarryLink(std::shared_ptr<CarryLink> link) { carry_ = std::move(link); }
    const std::shared_ptr<CarryLink>& carryLink() const { return carry_; }

    // Where "attention" comes from; the application's shared tracker unless set. Before serving.
    void setAttention(AttentionTracker& tracker) { attention_ = &tracker; }
    AttentionTracker& attention() { return *attention_; }

    // None when tmux was asked and gave no answer: a hung tmux is not a tmux without sessions.
    std::optional<std::string> json();
    std::string json(const std::vector<AgentSession>& sessions);

private:
    Tmux& tmux_;
    const PowerReader power_;
    const CapsLockReader capsLock_;
    std::shared_ptr<CarryLink> carry_;
    AttentionTracker* attention_ = &AttentionTracker::shared();
};

} // namespace torvane
