#include "app/phone/Response.hpp"

#include "app/phone/Http.hpp"

namespace torvane {

std::string_view Response::statusText(int status) {
    switch (status) {
    case 200:
        return "200 OK";
    case 400:
        return "400 Bad Request";
    case 401:
        return "401 Unauthorized";
    case 403:
        return "403 Forbidden";
    case 404:
        return "404 Not Found";
    case 408:
        return "408 Request Timeout";
    case 409:
        return "409 Conflict";
    case 413:
        return "413 Payload Too Large";
    case 503:
        return "503 Service Unavailable";
    default:
        return "500 Internal Server Error";
    }
}

std::string Response::bytes() const {
    std::string extra;
    for (const auto& [name, value] : headers) {
        extra.append("\r\n").append(name).append(": ").append(value);
    }
    return http::response(statusText(status), type, body, extra);
}

} // namespace torvane
