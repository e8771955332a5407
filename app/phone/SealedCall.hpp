#pragma once

#include <optional>
#include <string>
#include <string_view>

// What travels inside the phone page's sealed envelopes (Seal.hpp makes and opens the envelopes).
//
// A request's plaintext: "Q\n" id "\n" time "\n" run "\n" method "\n" target "\n" form body. An
// answer's: "A\n" id "\n" status "\n" server time "\n" run "\n" content type "\n" body. Times are
// milliseconds since the epoch; the run is the app's id for this run of it, which the page echoes.
// The leading letter keeps an answer from ever passing for a request under the shared key, and the
// id binds an answer to its request.
namespace torvane::seal {

struct Call {
    std::string id; // 16 to 64 of A-Z a-z 0-9 "-" "_"
    long long time = 0;
    std::string run; // empty or up to 64 of the same: the page's first call knows none yet
    std::string method;
    std::string target; // path and query
    std::string body;
};

std::optional<Call> parseRequest(std::string_view plaintext);
std::string formatRequest(const Call& call);
struct Answer {
    std::string_view id;
    int status = 200;
    long long time = 0;
    std::string_view run;
    std::string_view type;
    std::string_view body;
};
std::string formatAnswer(const Answer& answer);

long long nowMillis();

} // namespace torvane::seal
