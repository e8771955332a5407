#pragma once

#include "app/phone/Request.hpp"
#include "app/phone/Response.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace torvane {

// What the server asks of the handler behind it, in two steps: the header, then the whole request.
class RequestHandler {
public:
    // What cannot be answered at once: run on a worker, side by side with others, and told whether its
    // turn came in time (a work in a session's line). Called with false it must answer at once
    // without trying anything. It may still be running after the server has stopped (its answer is
    // then dropped), so it owns what it uses.
    using Work = std::function<Response(bool inTime)>;
    // What answers later, when something happens rather than when a worker is free: it is handed the
    // way to answer (callable once, from any thread) and must return at once.
    using Reply = std::function<void(Response)>;
    using Later = std::function<void(Reply)>;

    struct Plan {
        std::optional<Response> answer; // answered at once; else the work
        Work work;
        Later later; // instead of the work: the answer comes through the reply
        // Non-empty: the work acts on this session, after every earlier work for it and one at a time;
        // a work whose turn has not come within `turnLimit` is given up.
        std::string session;
        std::chrono::milliseconds turnLimit{0};

        static Plan at(Response answer) {
            Plan plan;
            plan.answer = std::move(answer);
            return plan;
        }
    };

    virtual ~RequestHandler() = default;

    // As soon as the header is in, on the server's thread (so quick: no tmux): an answer that needs no
    // body (a refusal, the page). It is sent at once and the body is dropped as it arrives, never
    // kept. None: the body is read and plan() follows.
    virtual std::optional<Response> answerHead(const Request& request) = 0;

    // The whole request, on the server's thread: its checks are answered at once; what calls tmux
    // comes back as work.
    virtual Plan plan(Request request) = 0;
};

// The whole exchange without a socket, as a connection carries it out, the work run on the calling
// thread: for tools, benchmarks and tests.
Response answerNow(RequestHandler& handler, std::string_view headerText, std::string_view body,
                   Origin origin = Origin::loopback);

} // namespace torvane
