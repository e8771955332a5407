#include "app/phone/SealedCall.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <vector>

namespace torvane::seal {

namespace {

// The first `count` lines and then the rest, which may hold anything.
std::optional<std::vector<std::string_view>> splitLines(std::string_view text, std::size_t count) {
    std::vector<std::string_view> parts;
    for (std::size_t i = 0; i < count; ++i) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        parts.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    parts.push_back(text);
    return parts;
}

bool isId(std::string_view id, std::size_t least) {
    return id.size() >= least && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
           });
}

} // namespace

std::optional<Call> parseRequest(std::string_view plaintext) {
    const auto parts = splitLines(plaintext, 6);
    if (!parts || (*parts)[0] != "Q" || !isId((*parts)[1], 16) || !isId((*parts)[3], 0) ||
        (*parts)[4].empty() || (*parts)[5].empty()) {
        return std::nullopt;
    }
    Call request;
    const std::string_view time = (*parts)[2];
    const auto [end, error] = std::from_chars(time.data(), time.data() + time.size(), request.time);
    if (error != std::errc{} || end != time.data() + time.size()) {
        return std::nullopt;
    }
    request.id = (*parts)[1];
    request.run = (*parts)[3];
    request.method = (*parts)[4];
    request.target = (*parts)[5];
    request.body = (*parts)[6];
    return request;
}

std::string formatRequest(const Call& request) {
    return "Q\n" + request.id + "\n" + std::to_string(request.time) + "\n" + request.run + "\n" +
           request.method + "\n" + request.target + "\n" + request.body;
}

std::string formatAnswer(const Answer& answer) {
    std::string text = "A\n";
    text.append(answer.id);
    text += "\n" + std::to_string(answer.status) + "\n" + std::to_string(answer.time) + "\n";
    for (const std::string_view field : {answer.run, answer.type}) {
        text.append(field);
        text += '\n';
    }
    text.append(answer.body);
    return text;
}

long long nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace torvane::seal
