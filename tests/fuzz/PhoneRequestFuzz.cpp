// Request framing and routing under libFuzzer: arbitrary bytes, cut into reads, go through the
// framer; a whole request goes through the router. Every answer must be a well-formed response.
#include "app/core/Config.hpp"
#include "app/phone/Http.hpp"
#include "app/phone/JsonString.hpp"
#include "app/phone/RequestReader.hpp"
#include "app/phone/Router.hpp"
#include "common/Text.hpp"
#include "tests/fakes/MemorySettings.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace torvane;

namespace {

// The seeds carry this token, so that the fuzzer also reaches the routes behind it.
constexpr std::string_view fuzzToken = "fuzzTOKENfuzzTOKENfuzzTOKENfuzz0";

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkResponse(const std::string& response) {
    check(response.starts_with("HTTP/1.1 "));
    const auto headEnd = response.find("\r\n\r\n");
    check(headEnd != std::string::npos);
    const std::string head = response.substr(0, headEnd);
    const std::string body = response.substr(headEnd + 4);
    check(http::contentLength(head) == static_cast<long long>(body.size()));
    check(text::isValidUtf8(response));
}

struct World {
    World() : tmux({"/nonexistent/tmux"}) { settings.setString(Config::Key::serverToken, fuzzToken); }
    Tmux tmux; // not installed: the routes run up to their tmux call and fail there
    MemorySettings settings;
    PairingSecret secret{settings};
    PhoneRegistry phones{settings};
    Router router{tmux, [] { return PowerState{}; }, [] { return true; }, secret, phones};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // The first byte chooses how the rest is cut into reads.
    const std::size_t step = input.empty() ? 1 : static_cast<unsigned char>(input[0]) % 32 + 1;
    const std::string_view bytes = input.empty() ? input : input.substr(1);
    RequestReader reader({.maxHeaderBytes = 2048, .maxRequestBytes = 4096});
    RequestReader::Status status = RequestReader::Status::incomplete;
    for (std::size_t at = 0; at < bytes.size() && status == RequestReader::Status::incomplete; at += step) {
        status = reader.receive(bytes.substr(at, step), false);
    }
    if (status == RequestReader::Status::incomplete) {
        status = reader.receive("", true);
        check(status != RequestReader::Status::incomplete);
    }
    if (status == RequestReader::Status::complete) {
        check(text::isValidUtf8(reader.headerText()));
        check(text::isValidUtf8(reader.body()));
        check(reader.headerText().find("\r\n\r\n") == std::string::npos);
        checkResponse(answerNow(world.router, reader.headerText(), reader.body()).bytes());
    }

    // The pieces on their own, over text that may not be UTF-8 at all.
    const std::string json = jsonString(bytes);
    check(text::isValidUtf8(json) && json.size() >= 2 && json.front() == '"' && json.back() == '"');
    for (const auto& [key, value] : http::parseQuery(bytes)) {
        check(!key.empty());
    }
    return 0;
}
