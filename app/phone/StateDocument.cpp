#include "app/phone/StateDocument.hpp"

#include "app/phone/JsonString.hpp"

#include <cmath>

namespace torvane {

namespace {

std::string_view boolean(bool value) {
    return value ? "true" : "false";
}

long long wholeMinutes(double seconds) {
    if (!std::isfinite(seconds)) {
        return 0;
    }
    return static_cast<long long>(std::trunc(seconds / 60.0));
}

std::string carryJSON(const std::optional<CarryState>& c) {
    if (!c) {
        return "null";
    }
    std::string json = "{\"active\":";
    json += boolean(c->active);
    json += ",\"paused\":";
    json += boolean(c->paused);
    json += ",\"reason\":" + jsonString(c->reason);
    json += ",\"lidHeld\":";
    json += boolean(c->lidHeld);
    json += ",\"temperature\":" + (c->temperature ? std::to_string(*c->temperature) : std::string("null"));
    json += ",\"heatLimit\":" + std::to_string(c->heatLimit);
    json += ",\"floor\":" + std::to_string(c->floor) + "}";
    return json;
}

} // namespace

std::optional<std::string> StateDocument::json() {
    if (!tmux_.isAvailable()) {
        return json({});
    }
    const auto sessions = tmux_.answeredSessions();
    if (!sessions) {
        return std::nullopt;
    }
    return json(*sessions);
}

std::string StateDocument::json(const std::vector<AgentSession>& sessions) {
    const PowerState powerState = power_();
    const SystemTime now = systemNow();
    // Every listing that passes here is a fresh one: the tracker learns new panes without waiting
    // for the tray's.
    attention_->follow(sessions);

    std::string json = "{\"sessions\":[";
    bool first = true;
    for (const AgentSession& session : sessions) {
        if (!first) {
            json += ',';
        }
        first = false;
        json += "{\"name\":" + jsonString(session.name);
        json += ",\"working\":";
        json += boolean(session.isWorking());
        json += ",\"command\":" + jsonString(session.currentCommand);
        json += ",\"status\":" + jsonString(session.statusText());
        json += ",\"idle\":" + std::to_string(wholeMinutes(session.idleFor(now)));
        json += ",\"activity\":" + std::to_string(session.activitySeconds(now));
        json += ",\"quiet\":";
        json += boolean(session.isQuiet(now));
        // Not yet looked at, or without a pane to look at: working, never a false call for the user.
        json += ",\"attention\":\"";
        json += attentionName(attention_->attention(session.name).value_or(Attention::working));
        json += "\"}";
    }
    json += "],\"tmux\":";
    json += boolean(tmux_.isAvailable());
    json += ",\"battery\":";
    json += powerState.percent ? std::to_string(*powerState.percent) : std::string("null");
    json += ",\"onAC\":";
    json += boolean(powerState.onAC);
    json += ",\"capsLock\":";
    json += boolean(capsLock_());
    json += ",\"carry\":" + carryJSON(carry_ ? carry_->state() : std::nullopt);
    json += '}';
    return json;
}

} // namespace torvane
