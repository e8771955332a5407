#pragma once

#include <functional>
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

    virtual ~RequestHandler() = default;

    // One complete request (header text without its blank line, body) in, the bytes of one
    // response out.
    virtual std::string route(std::string_view headerText, std::string_view body) = 0;

    // The quick part of a request (reading it, the token, choosing the route) done at once on the
    // server's thread; the work it hands back does the rest. A handler whose work may outlive it
    // (the server no longer waits for a work in progress) makes work that owns what it uses; this
    // default just calls route().
    virtual Work prepare(std::string_view headerText, std::string_view body) {
        return [this, header = std::string(headerText), content = std::string(body)] {
            return route(header, content);
        };
    }

    // The connection token, created on first use; empty when none could be made.
    virtual std::string token() = 0;
    virtual void regenerateToken() = 0;
};

} // namespace torvane
