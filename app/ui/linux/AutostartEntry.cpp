#include "app/ui/linux/AutostartEntry.hpp"

#include "common/Text.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace torvane {

namespace {

// The Exec value's quoting: a path with a space or a reserved character goes in double quotes, with
// the characters that stay special inside them escaped.
std::string quoted(const std::string& path) {
    if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`%") == std::string::npos)
        return path;
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A desktop entry's string value: a backslash and a line break would be read as escapes.
std::string escaped(const std::string& value) {
    std::string out;
    for (char c : value)
        out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

// The program an Exec value starts: its first argument, unquoted.
std::string program(const std::string& exec) {
    if (exec.empty() || exec.front() != '"')
        return exec.substr(0, exec.find(' '));
    std::string out;
    for (std::size_t i = 1; i < exec.size() && exec[i] != '"'; ++i)
        out += exec[i] == '\\' && i + 1 < exec.size() ? exec[++i] : exec[i];
    return out;
}

} // namespace

AutostartEntry::AutostartEntry(std::filesystem::path directory, std::filesystem::path executable)
    : directory_(std::move(directory)), executable_(std::move(executable)) {}

std::filesystem::path AutostartEntry::defaultDirectory() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return std::filesystem::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw && pw->pw_dir ? pw->pw_dir : "/";
    }
    return std::filesystem::path(home) / ".config" / "autostart";
}

std::filesystem::path AutostartEntry::runningExecutable() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec);
}

bool AutostartEntry::isEnabled() const {
    std::ifstream in(file());
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("Exec=")) {
            const std::string path = program(line.substr(5));
            return !path.empty() && path.front() == '/' && ::access(path.c_str(), X_OK) == 0;
        }
    return false;
}

std::optional<std::string> AutostartEntry::setEnabled(bool enabled) {
    std::error_code ec;
    if (!enabled) {
        if (!std::filesystem::remove(file(), ec) && ec)
            return ec.message();
        return std::nullopt;
    }
    if (executable_.empty())
        return std::string("実行ファイルの場所がわかりません");
    std::filesystem::create_directories(directory_, ec);
    // Written beside the final name and renamed, so a login never finds half an entry.
    const std::filesystem::path temp = file().string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        // TryExec: once the program is removed, the session skips the entry instead of failing at login.
        out << "[Desktop Entry]\nType=Application\nName=Torvane\nExec=" << quoted(executable_.string())
            << "\nTryExec=" << escaped(executable_.string())
            << "\nIcon=torvane\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
        if (!out.flush())
            return text::errorText(errno);
    }
    std::filesystem::rename(temp, file(), ec);
    if (ec) {
        const std::string reason = ec.message();
        std::filesystem::remove(temp, ec);
        return reason;
    }
    return std::nullopt;
}

std::unique_ptr<LoginItem> makeLoginItem() {
    return std::make_unique<AutostartEntry>();
}

} // namespace torvane
