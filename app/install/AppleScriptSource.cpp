#include "app/install/AppleScriptSource.hpp"

namespace torvane {

std::string appleScriptLiteral(std::string_view text) {
    std::string doubled;
    doubled.reserve(text.size() + 2);
    for (char c : text) {
        if (c == '\\')
            doubled += '\\';
        doubled += c;
    }
    std::string literal = "\"";
    for (char c : doubled) {
        if (c == '"')
            literal += '\\';
        literal += c;
    }
    literal += '"';
    return literal;
}

std::string appleScriptSource(std::string_view scriptPath, const std::vector<std::string>& arguments) {
    std::string command = "\"/bin/bash \" & quoted form of " + appleScriptLiteral(scriptPath);
    for (const auto& argument : arguments)
        command += " & \" \" & quoted form of " + appleScriptLiteral(argument);
    return "do shell script (" + command + ") with administrator privileges";
}

} // namespace torvane
