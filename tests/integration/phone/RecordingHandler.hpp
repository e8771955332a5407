#pragma once

#include "app/phone/Http.hpp"
#include "app/phone/RequestHandler.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace torvane::test {

// Answers every request with what it saw, and keeps a record of it.
class RecordingHandler final : public RequestHandler {
public:
    std::string route(std::string_view headerText, std::string_view body) override {
        const std::lock_guard lock(mutex_);
        requests_.emplace_back(headerText, body);
        return http::response("200 OK", http::textPlain, "body=" + std::string(body));
    }
    std::string token() override {
        const std::lock_guard lock(mutex_);
        return token_;
    }
    void regenerateToken() override {}
    void setToken(std::string token) {
        const std::lock_guard lock(mutex_);
        token_ = std::move(token);
    }
    std::vector<std::pair<std::string, std::string>> requests() const {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    std::string token_ = "tok";
    std::vector<std::pair<std::string, std::string>> requests_;
};

} // namespace torvane::test
