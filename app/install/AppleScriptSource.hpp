#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torvane {

// An AppleScript string literal holding `text` unchanged: backslashes doubled first, then double quotes
// escaped, all between double quotes.
std::string appleScriptLiteral(std::string_view text);

// The source that osascript runs to start "/bin/bash SCRIPT ARGS…" as root behind the system's password
// prompt. Each word reaches the shell through "quoted form of", so spaces and quotes stay literal.
std::string appleScriptSource(std::string_view scriptPath, const std::vector<std::string>& arguments);

} // namespace torvane
