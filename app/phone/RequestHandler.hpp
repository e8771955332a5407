#pragma once

#include <string>
#include <string_view>

namespace torvane {

// What the server asks of the router behind it: one response per request, and the token that
// the pairing URL carries.
class RequestHandler {
public:
    virtual ~RequestHandler() = default;

    // One complete request (header text without its blank line, body) in, the bytes of one
    // response out. Called on the server's thread, one request at a time.
    virtual std::string route(std::string_view headerText, std::string_view body) = 0;

    // The connection token, created on first use; empty when none could be made.
    virtual std::string token() = 0;
    virtual void regenerateToken() = 0;
};

} // namespace torvane
