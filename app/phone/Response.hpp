#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torvane {

// One phone-link answer, as a handler makes it. The connection alone turns it into bytes; the
// sealed gate seals it whole.
struct Response {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // beyond type, length and the fixed ones

    static Response text(int status, std::string body) {
        return {status, "text/plain; charset=utf-8", std::move(body), {}};
    }
    static Response json(std::string body) {
        return {200, "application/json; charset=utf-8", std::move(body), {}};
    }
    // The answers several places give, each with its one text.
    static Response badRequest() { return text(400, "bad request"); }
    static Response unauthorized() { return text(401, "合言葉が違います"); }
    static Response notFound() { return text(404, "not found"); }
    static Response failed() { return text(500, "failed"); }
    static Response tmuxNotAnswering() { return text(503, "tmux not answering"); }

    // "200 OK", "404 Not Found", …: the status line's text after "HTTP/1.1 ".
    static std::string_view statusText(int status);
    // The bytes on the wire, for a connection that closes after them.
    std::string bytes() const;
};

} // namespace torvane
