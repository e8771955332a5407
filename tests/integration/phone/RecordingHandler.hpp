#pragma once

#include "app/core/Config.hpp"
#include "app/phone/PairingSecret.hpp"
#include "app/phone/RequestHandler.hpp"
#include "tests/fakes/MemorySettings.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace torvane::test {

// Answers every request with the body it saw, on a worker, and keeps a record of the bodies. Its
// secret is the token set here (none is ever generated).
class RecordingHandler final : public RequestHandler {
public:
    RecordingHandler() { settings_.setString(Config::Key::serverToken, "tok"); }
    std::optional<Response> answerHead(const Request&) override { return std::nullopt; }
    Plan plan(Request request) override {
        Plan plan;
        plan.work = [this, body = request.body](bool) {
            const std::lock_guard lock(mutex_);
            bodies_.push_back(body);
            return Response::text(200, "body=" + body);
        };
        return plan;
    }
    PairingSecret& secret() { return secret_; }
    std::vector<std::string> requests() const {
        const std::lock_guard lock(mutex_);
        return bodies_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> bodies_;
    MemorySettings settings_;
    PairingSecret secret_{settings_, [](auto) { return false; }};
};

} // namespace torvane::test
