#include "app/phone/Request.hpp"

#include "app/phone/Http.hpp"

namespace torvane {

std::optional<Request> Request::fromTarget(std::string method, std::string_view target, Origin origin) {
    const auto pieces = http::splitFirst(target, '?');
    if (pieces.empty()) {
        return std::nullopt; // "?" alone, or nothing, names no path
    }
    Request request;
    request.method = std::move(method);
    request.path = pieces[0];
    if (pieces.size() > 1) {
        request.query = http::parseQuery(pieces[1]);
    }
    request.origin = origin;
    return request;
}

std::optional<Request> Request::fromHead(std::string_view headerText, Origin origin) {
    const auto lines = http::splitDroppingEmpty(headerText, "\r\n");
    const auto requestLine =
        lines.empty() ? std::vector<std::string_view>{} : http::splitDroppingEmpty(lines.front(), " ");
    if (requestLine.size() < 2) {
        return std::nullopt;
    }
    auto request = fromTarget(std::string(requestLine[0]), requestLine[1], origin);
    if (request) {
        const std::string* t = request->queryField("t");
        request->token = t != nullptr ? std::optional(*t) : http::headerValue("x-token", headerText);
        request->acceptsGzip = http::acceptsGzip(headerText);
    }
    return request;
}

void Request::setBody(std::string text) {
    body = std::move(text);
    form = http::parseQuery(body);
}

} // namespace torvane
