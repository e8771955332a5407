#include "app/tmux/Tmux.hpp"

#include "app/core/Log.hpp"
#include "common/Subprocess.hpp"
#include "common/Text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

namespace torvane {

namespace {

// The listing's field separator: tmux prints control characters of a session name escaped, and the
// pane's command has its control characters replaced in the format itself, so neither can hold it.
constexpr char separator = '\x1f';
constexpr std::size_t fieldCount = 8;

// Seconds since the epoch as tmux prints them. The whole field must be a number, independent of the
// process locale (the UI toolkit sets it from the user's environment). Anything else, and a value that
// no time point can hold, is the epoch.
SystemTime parseTime(std::string_view field) {
    std::string_view number = field;
    // The C library's reading takes one leading "+"; from_chars does not. White space is never taken.
    if (number.size() > 1 && number[0] == '+' && number[1] != '+' && number[1] != '-')
        number.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size() || !std::isfinite(value))
        return SystemTime{};
    // Beyond about ±285 years the clock's nanosecond count would overflow.
    constexpr double limit = 9.0e9;
    if (std::fabs(value) > limit)
        return SystemTime{};
    using namespace std::chrono;
    return SystemTime{duration_cast<SystemTime::duration>(duration<double>(value))};
}

int parsePid(std::string_view field) {
    int pid = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), pid);
    return ec == std::errc() && end == field.data() + field.size() && pid > 0 ? pid : 0;
}

std::string formatSeconds(std::chrono::milliseconds limit) {
    const auto ms = limit.count();
    std::string text = std::to_string(ms / 1000);
    if (const auto fraction = ms % 1000; fraction != 0) {
        std::string digits = std::to_string(1000 + fraction).substr(1);
        while (digits.back() == '0')
            digits.pop_back();
        text += "." + digits;
    }
    return text;
}

// A skipped listing line or a session name as a log line can show it: control characters (the
// separator among them) as "?".
std::string printable(std::string_view line) {
    std::string shown(line);
    std::replace_if(
        shown.begin(), shown.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; }, '?');
    return shown;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    // A directory is "executable" to access(); running it would fail on every call.
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

Tmux& Tmux::shared() {
    static Tmux instance;
    return instance;
}

std::vector<std::string> Tmux::defaultSearchPaths() {
    return {"/opt/homebrew/bin/tmux", "/usr/local/bin/tmux", "/usr/bin/tmux", "/opt/local/bin/tmux"};
}

Tmux::Tmux(std::vector<std::string> searchPaths) : searchPaths_(std::move(searchPaths)) {}

std::optional<std::string> Tmux::executablePath() {
    std::lock_guard lock(pathMutex_);
    if (cachedPath_)
        return cachedPath_;
    for (const auto& path : searchPaths_) {
        if (isExecutableFile(path)) {
            cachedPath_ = path;
            return cachedPath_;
        }
    }
    return std::nullopt;
}

bool Tmux::isAvailable() {
    return executablePath().has_value();
}

bool Tmux::serverMayRun() {
    const char* dir = std::getenv("TMUX_TMPDIR");
    const std::string socket =
        std::string(dir && *dir ? dir : "/tmp") + "/tmux-" + std::to_string(::getuid()) + "/default";
    struct stat st {};
    return ::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

const std::set<std::string, std::less<>>& Tmux::shellNames() {
    static const std::set<std::string, std::less<>> names{"bash", "zsh", "sh",   "fish", "tcsh",
                                                          "csh",  "ksh", "dash", "login"};
    return names;
}

void Tmux::setTimeLimit(std::chrono::milliseconds limit) {
    timeLimitMs_.store(std::max(limit, std::chrono::milliseconds::zero()).count());
}

std::chrono::milliseconds Tmux::timeLimit() const {
    return std::chrono::milliseconds(timeLimitMs_.load());
}

void Tmux::cancelCalls() {
    cancellation_.cancel();
}

std::string Tmux::timeLimitMessage(std::chrono::milliseconds limit) {
    return "WARN: tmux が " + formatSeconds(limit) + " 秒以内に終了しませんでした";
}

Tmux::RunResult Tmux::run(const std::vector<std::string>& arguments, std::optional<std::string> input) {
    const auto path = executablePath();
    if (!path || cancellation_.isCancelled())
        return {};
    // "-u": without a UTF-8 locale in the environment (common for GUI apps) tmux would print every
    // non-ASCII character of a session name as "_", and the listed name would address nothing.
    std::vector<std::string> argv{"-u"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto limit = timeLimit();
    auto result = runSubprocess(
        *path, argv, {.timeLimit = limit, .cancelFd = cancellation_.fd(), .input = std::move(input)});
    if (result.cancelled)
        return {};
    if (!result.started) {
        Log::write("WARN: tmux の起動に失敗しました: " + result.startError);
        return {};
    }
    if (result.timedOut) {
        Log::write(timeLimitMessage(limit));
        return {};
    }
    // Standard error is dropped on purpose: tmux's own messages are not shown or logged.
    // A pane's command name reaches the listing byte for byte: one bad byte must not empty it.
    result.out = text::decodeUtf8Lossy(result.out);
    const bool answered = !result.signaled;
    return {result.ok(), answered, std::move(result.out)};
}

std::vector<AgentSession> Tmux::sessions() {
    return answeredSessions().value_or(std::vector<AgentSession>{});
}

const std::string& Tmux::sessionListFormat() {
    static const std::string format = [] {
        // tmux escapes control characters in session names itself, but a pane's command is whatever
        // its process calls itself (argv[0]), line feeds and all: the format replaces them. Written as
        // a range, so that no line break stands in the format: a control client's command line
        // cannot carry one.
        const std::string command = "#{s/[\x01-\x1f\x7f]/?/:pane_current_command}";
        const std::string fields[] = {
            "#{session_name}", "#{session_created}", "#{session_activity}", "#{session_attached}",
            command,           "#{window_activity}", "#{pane_pid}",         "#{pane_tty}"};
        std::string joined;
        for (const auto& f : fields) {
            if (!joined.empty())
                joined += separator;
            joined += f;
        }
        return joined;
    }();
    return format;
}

std::optional<std::vector<AgentSession>> Tmux::answeredSessions() {
    const std::string& format = sessionListFormat();
    const auto result = run({"list-sessions", "-F", format});
    if (!result.answered)
        return std::nullopt;
    if (!result.ok)
        return std::vector<AgentSession>{};
    std::vector<std::string> skipped;
    auto sessions = parseSessionList(result.output, &skipped);
    if (!skipped.empty()) {
        // Once per line: the listing is taken every few seconds while the phone page is open.
        std::lock_guard lock(skippedMutex_);
        for (auto& line : skipped)
            if (reportedLines_.insert(line).second)
                Log::write("WARN: tmux のセッション一覧の読めない行を飛ばしました: " + printable(line));
        if (reportedLines_.size() > 100)
            reportedLines_.clear();
    }
    return sessions;
}

std::vector<AgentSession> Tmux::parseSessionList(std::string_view output, std::vector<std::string>* skipped) {
    std::vector<AgentSession> sessions;
    std::string_view fields[fieldCount];
    while (!output.empty()) {
        const auto lineEnd = output.find('\n');
        const std::string_view line = output.substr(0, lineEnd);
        output.remove_prefix(lineEnd == std::string_view::npos ? output.size() : lineEnd + 1);
        if (line.empty())
            continue;

        std::size_t found = 0;
        for (std::string_view rest = line;; ++found) {
            const auto end = rest.find(separator);
            if (found < fieldCount)
                fields[found] = rest.substr(0, end);
            if (end == std::string_view::npos)
                break;
            rest.remove_prefix(end + 1);
        }
        if (found + 1 != fieldCount) {
            if (skipped)
                skipped->emplace_back(line);
            continue;
        }
        sessions.push_back(AgentSession{
            .name = std::string(fields[0]),
            .created = parseTime(fields[1]),
            .lastActivity = parseTime(fields[2]),
            .attached = fields[3] == "1",
            .currentCommand = std::string(fields[4]),
            .lastOutput = parseTime(fields[5]),
            .panePid = parsePid(fields[6]),
            .paneTty = std::string(fields[7]),
        });
    }
    return sessions;
}

namespace {

// "=name:" names exactly that session (its current pane). A bare name would let tmux fall back to a
// prefix or pattern match, so keys meant for a session that has ended would reach another one.
std::string exactSession(const std::string& name) {
    return "=" + name + ":";
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
}

// What a paste may carry: no paste start or end sequence (one would let the rest of the text out of
// the paste and run it as typed), and no CR before a LF (tmux turns each LF into a CR as it pastes;
// CR LF would press Enter twice). Removing one marker can join the bytes around it into another, so
// the check runs on what is kept so far.
std::string pasteText(std::string_view text) {
    static constexpr std::string_view markers[] = {"\x1b[200~", "\x1b[201~"};
    std::string kept;
    kept.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        kept += text[i];
        for (const auto marker : markers)
            if (kept.ends_with(marker))
                kept.resize(kept.size() - marker.size());
    }
    return kept;
}

} // namespace

std::optional<std::string> Tmux::capture(const std::string& name, int lines) {
    return answeredCapture(name, lines).screen;
}

Tmux::Capture Tmux::answeredCapture(const std::string& name, int lines) {
    auto result = run({"capture-pane", "-t", exactSession(name), "-p", "-S", "-" + std::to_string(lines)});
    if (!result.ok)
        return {.answered = result.answered, .screen = std::nullopt};
    return {.answered = true, .screen = std::move(result.output)};
}

bool Tmux::send(const std::string& name, const std::string& text, bool submit) {
    if (text.empty() || text.find('\0') != std::string::npos)
        return false;
    // Typed, a Tab would complete, a Ctrl-D end the shell and an ESC start a key sequence.
    if (std::any_of(text.begin(), text.end(), isControl))
        return paste(name, text, submit);
    const std::string target = exactSession(name);
    // Not bracketed: a text without control characters arrives as if typed.
    if (!pasteThroughBuffer(target, text, false))
        return false;
    if (submit && !run({"send-keys", "-t", target, "Enter"}).ok)
        return false;
    Log::write("tmux " + printable(name) + " に " + std::to_string(graphemeCount(text)) +
               " 文字を送信しました");
    return true;
}

bool Tmux::paste(const std::string& name, const std::string& text, bool submit) {
    if (text.find('\0') != std::string::npos)
        return false;
    const std::string lines = pasteText(text);
    if (lines.empty())
        return false;
    const std::string target = exactSession(name);
    if (!pasteThroughBuffer(target, lines, true))
        return false;
    if (submit && !run({"send-keys", "-t", target, "Enter"}).ok)
        return false;
    Log::write("tmux " + printable(name) + " に " + std::to_string(graphemeCount(text)) +
               " 文字を貼り付けました");
    return true;
}

bool Tmux::pasteThroughBuffer(const std::string& target, std::string text, bool bracketed) {
    // A buffer of this call's own: requests run side by side. "-d" deletes it after the paste.
    static std::atomic<unsigned> counter{0};
    const std::string buffer = "torvane-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (!run({"load-buffer", "-b", buffer, "-"}, std::move(text)).ok)
        return false;
    std::vector<std::string> paste{"paste-buffer", "-d", "-b", buffer, "-t", target};
    if (bracketed)
        paste.insert(paste.begin() + 1, "-p"); // when the program asked for bracketed pastes
    if (!run(paste).ok) {
        run({"delete-buffer", "-b", buffer});
        return false;
    }
    return true;
}

bool Tmux::sendKey(const std::string& name, const std::string& key) {
    const bool ok = run({"send-keys", "-t", exactSession(name), key}).ok;
    Log::write(ok ? "tmux " + printable(name) + " に " + key + " キーを送りました"
                  : "WARN: " + printable(name) + " への " + key + " キーの送信に失敗しました");
    return ok;
}

bool Tmux::interrupt(const std::string& name) {
    const bool ok = run({"send-keys", "-t", exactSession(name), "C-c"}).ok;
    Log::write(ok ? "tmux " + printable(name) + " に中断を送りました"
                  : "WARN: " + printable(name) + " への中断に失敗しました");
    return ok;
}

std::size_t graphemeCount(std::string_view utf8) {
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
    auto left = static_cast<utf8proc_ssize_t>(utf8.size());
    std::size_t count = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    while (left > 0) {
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes, left, &codepoint);
        if (length <= 0) {
            // A stray byte is one character of its own and ends the cluster before it.
            ++count;
            previous = -1;
            state = 0;
            ++bytes;
            --left;
            continue;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state))
            ++count;
        previous = codepoint;
        bytes += length;
        left -= length;
    }
    return count;
}

} // namespace torvane
