#pragma once

#include <memory>
#include <optional>
#include <string>

namespace torvane {

// Starting Torvane when the user logs in, the platform's own way.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // Whether the next login starts this program.
    virtual bool isEnabled() const = 0;
    // Empty on success, else what went wrong.
    virtual std::optional<std::string> setEnabled(bool enabled) = 0;
};

// The platform's login item for the running executable.
std::unique_ptr<LoginItem> makeLoginItem();

} // namespace torvane
