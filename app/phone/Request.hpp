#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace torvane {

// Where a request came from: the token counts differently from this machine and from the network,
// and a sealed request was opened from an envelope (it carries no token of its own).
enum class Origin { loopback, network, sealed };

// One phone-link request, read once: by the connection from its header and body, or by the sealed
// gate from an envelope.
struct Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> form; // the body read as a form
    std::string body;                        // as it came: a sealed envelope is opened from it
    Origin origin = Origin::loopback;
    std::string id;                   // a sealed request's id; empty otherwise
    std::optional<std::string> token; // offered with "t=" (which wins) or X-Token
    bool acceptsGzip = false;

    // From the header text (request line and header lines); none when there is no request line or
    // its target ("?" alone) names no path.
    static std::optional<Request> fromHead(std::string_view headerText, Origin origin);
    // From a method and a target ("/path?query"); none when the target names no path.
    static std::optional<Request> fromTarget(std::string method, std::string_view target, Origin origin);
    // Takes the body and reads its form.
    void setBody(std::string text);

    // A query or form field; null when absent.
    const std::string* queryField(const std::string& name) const { return find(query, name); }
    const std::string* formField(const std::string& name) const { return find(form, name); }

private:
    static const std::string* find(const std::map<std::string, std::string>& fields,
                                   const std::string& name) {
        const auto found = fields.find(name);
        return found == fields.end() ? nullptr : &found->second;
    }
};

} // namespace torvane
