#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace torvane {

// What the server asks of the router behind it: one response per request, and the token that
// the pairing URL carries.
class RequestHandler {
public:
    // What makes one answer. It runs on a worker thread, side by side with others, and may still be
    // running after the server has stopped (its answer is then dropped).
    using Work = std::function<std::string()>;

    // How a request is answered: at once with `answer` when there is no work, else by the work.
    struct Plan {
        std::string answer;
        Work work;
    };

    virtual ~RequestHandler() = default;

    // One complete request (header text without its blank line, body) in, the bytes of one
    // response out.
    virtual std::string route(std::string_view headerText, std::string_view body) = 0;

    // As soon as the header is complete, on the server's thread (so quick: no tmux): an answer that
    // can be given without the body (a refusal, a page). It is sent at once, and the body is
    // dropped as it arrives, never kept. None: the body is read and prepare() follows.
    virtual std::optional<std::string> answerHeader(std::string_view /*headerText*/) { return std::nullopt; }

    // The quick part of a request (reading it, the token, choosing the route) done at once on the
    // server's thread; what cannot be answered at once comes back as work. A handler whose work may
    // outlive it (the server no longer waits for a work in progress) makes work that owns what it
    // uses; this default just calls route() as the work.
    virtual Plan prepare(std::string_view headerText, std::string_view body) {
        return {{}, [this, header = std::string(headerText), content = std::string(body)] {
                    return route(header, content);
                }};
    }

    // The same two, told whether the request came from this machine (loopback) or the network.
    virtual std::optional<std::string> answerHeaderFrom(std::string_view headerText, bool /*fromLoopback*/) {
        return answerHeader(headerText);
    }
    virtual Plan prepareFrom(std::string_view headerText, std::string_view body, bool /*fromLoopback*/) {
        return prepare(headerText, body);
    }

    // The connection token, created on first use; empty when none could be made.
    virtual std::string token() = 0;
    virtual void regenerateToken() = 0;
};

} // namespace torvane
