#include "app/tmux/TmuxControl.hpp"

#include "app/core/Log.hpp"
#include "app/tmux/ControlProcess.hpp"
#include "app/tmux/ControlProtocol.hpp"
#include "common/Subprocess.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace torvane {

using namespace std::chrono_literals;

struct TmuxControl::Pending {
    bool done = false;
    bool ok = false;
    bool abandoned = false; // its caller stopped waiting: the answer is read and dropped
    std::string body;
};

// What the reader thread keeps between lines of one client's output.
struct TmuxControl::Reading {
    control::LineSplitter lines{lineCap};
    bool inBlock = false;
    std::string stamp; // the open block's "T N F"
    std::shared_ptr<Pending> answer;
    bool attachBlock = false; // the open block answers the attach-session command line
    bool sawAttach = false;
    bool blockLost = false; // a line of the open block was too long to keep
    std::string body;
    std::string attachError;
    std::optional<std::string> exitReason;
    bool movedAway = false; // tmux moved the client to another session: the watched one ended
    std::string decoded;
};

namespace {

std::string_view word(std::string_view& rest) {
    const auto end = rest.find(' ');
    const std::string_view w = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return w;
}

} // namespace

TmuxControl::TmuxControl(Tmux& tmux, ChangeHandler onChange) : tmux_(tmux), onChange_(std::move(onChange)) {}

TmuxControl::~TmuxControl() {
    stop();
}

bool TmuxControl::onReaderThread() const {
    std::lock_guard lock(mutex_);
    return readerId_ == std::this_thread::get_id();
}

bool TmuxControl::isWatching() const {
    std::lock_guard lock(mutex_);
    return running_ && attached_;
}

std::string TmuxControl::session() const {
    std::lock_guard lock(mutex_);
    return running_ && attached_ ? session_ : std::string();
}

pid_t TmuxControl::clientPid() const {
    std::lock_guard lock(mutex_);
    return pid_;
}

bool TmuxControl::watch(const std::string& session, std::chrono::milliseconds limit) {
    if (onReaderThread() || session.empty())
        return false;
    const auto deadline = Clock::now() + limit;
    std::lock_guard control(controlMutex_);
    std::unique_lock lock(mutex_);
    if (running_ && attached_) {
        if (session_ == session && wanted_ == session)
            return true;
        lock.unlock();
        return switchTo(session, deadline);
    }
    return start(session, deadline, lock);
}

bool TmuxControl::start(const std::string& session, Clock::time_point deadline,
                        std::unique_lock<std::mutex>& lock) {
    if (failedAt_ && Clock::now() - *failedAt_ < retryPause)
        return false;
    const auto path = tmux_.executablePath();
    if (!path)
        return false;
    if (reader_.joinable()) { // a client that ended by itself: its reader has finished or is finishing
        lock.unlock();
        reader_.join();
        lock.lock();
        readerId_ = {};
    }
    // "-u": without a UTF-8 locale tmux would print every non-ASCII character as "_".
    auto spawned =
        control::spawnClient(*path, {"-u", "-C", "attach-session", "-t", "=" + session, "-f", "ignore-size"});
    if (spawned.pid < 0) {
        Log::write("WARN: tmux の制御クライアントを起動できませんでした: " + spawned.error);
        failedAt_ = Clock::now();
        return false;
    }
    pid_ = spawned.pid;
    input_ = std::move(spawned.input);
    running_ = true;
    attached_ = false;
    stopping_ = false;
    session_.clear();
    sessionId_.clear();
    told_.clear();
    wanted_ = session;
    probeStop_ = std::make_shared<Cancellation>();
    auto pidFd = std::make_shared<UniqueFd>(control::openPidFd(pid_));
    auto output = std::make_shared<UniqueFd>(std::move(spawned.output));
    reader_ = std::thread([this, output, pidFd] { read(output->get(), pidFd->get()); });
    readerId_ = reader_.get_id();
    changed_.wait_until(lock, deadline, [&] { return attached_ || !running_; });
    if (attached_ && running_)
        return true;
    if (running_) { // not attached in time: not left half-started
        Log::write("WARN: tmux の制御クライアントが時間内に接続しませんでした: " + session);
        lock.unlock();
        end();
        lock.lock();
        failedAt_ = Clock::now();
    }
    return false;
}

bool TmuxControl::switchTo(const std::string& session, Clock::time_point deadline) {
    const auto target = control::quoteArgument("=" + session);
    if (!target)
        return false;
    {
        std::lock_guard lock(mutex_);
        wanted_ = session;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const bool switched = command("switch-client -t " + *target, std::max(left, 0ms)).has_value();
    std::unique_lock lock(mutex_);
    // tmux tells the new session after the command's answer.
    if (switched && changed_.wait_until(lock, deadline, [&] { return !running_ || told_ == session; }))
        return running_;
    if (running_ && session_ != session)
        wanted_ = session_;
    return false;
}

void TmuxControl::stop() {
    if (onReaderThread()) { // from the change handler: the client is ended, the reader reaps it
        std::lock_guard lock(mutex_);
        stopping_ = true;
        endClient();
        return;
    }
    std::lock_guard control(controlMutex_);
    end();
}

void TmuxControl::end() {
    {
        std::lock_guard lock(mutex_);
        if (!reader_.joinable())
            return;
        stopping_ = true;
        if (probeStop_)
            probeStop_->cancel();
    }
    {
        // End of input makes the client detach and exit. A writer holds this for its deadline at most.
        std::lock_guard send(sendMutex_);
        std::lock_guard lock(mutex_);
        input_.reset();
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 1s, [&] { return pid_ < 0; }) && pid_ > 0)
        ::kill(-pid_, SIGKILL);
    lock.unlock();
    reader_.join();
    lock.lock();
    readerId_ = {};
}

void TmuxControl::endClient() {
    if (pid_ > 0)
        ::kill(-pid_, SIGTERM);
}

std::optional<std::string> TmuxControl::command(std::string line, std::chrono::milliseconds limit) {
    if (!control::isSingleCommand(line)) {
        Log::write("WARN: tmux の制御クライアントに送れないコマンドです");
        return std::nullopt;
    }
    if (onReaderThread())
        return std::nullopt;
    const auto deadline = Clock::now() + limit;
    std::unique_lock send(sendMutex_, deadline);
    if (!send.owns_lock())
        return std::nullopt;
    auto pending = std::make_shared<Pending>();
    int fd = -1;
    {
        std::lock_guard lock(mutex_);
        if (!running_ || stopping_ || !input_)
            return std::nullopt;
        pending_.push_back(pending);
        fd = input_.get();
    }
    line += '\n';
    if (!control::writeAll(fd, line, deadline)) {
        std::lock_guard lock(mutex_);
        // Part of a line may have gone: the client cannot be trusted to answer in order any more.
        Log::write("WARN: tmux の制御クライアントにコマンドを書き込めませんでした");
        endClient();
        input_.reset();
        pending->abandoned = true;
        return std::nullopt;
    }
    send.unlock();
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [&] { return pending->done; })) {
        pending->abandoned = true;
        return std::nullopt;
    }
    if (!pending->ok)
        return std::nullopt;
    return std::move(pending->body);
}

void TmuxControl::emit(const Change& change) {
    if (onChange_)
        onChange_(change);
}

void TmuxControl::read(int outFd, int pidFd) {
    Reading r;
    std::array<char, 65536> buffer;
    ::fcntl(outFd, F_SETFL, ::fcntl(outFd, F_GETFL) | O_NONBLOCK);
    bool exited = false;
    for (bool open = true; open;) {
        // Asleep here while nothing happens; the pidfd wakes it even if something kept the pipe open.
        std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {pidFd, POLLIN, 0}}};
        if (::poll(fds.data(), pidFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
            break;
        exited = exited || (fds[1].revents & POLLIN);
        for (;;) {
            const ssize_t n = ::read(outFd, buffer.data(), buffer.size());
            if (n > 0) {
                r.lines.feed(
                    {buffer.data(), static_cast<std::size_t>(n)},
                    [&](std::string_view line, std::size_t overlong) { handleLine(r, line, overlong); });
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || !(errno == EAGAIN || errno == EWOULDBLOCK) || exited)
                open = false;
            break;
        }
    }
    finish(r);
}

void TmuxControl::handleLine(Reading& r, std::string_view line, std::size_t overlong) {
    if (!r.inBlock) {
        const auto guard = overlong ? std::nullopt : control::parseGuard(line);
        if (!guard || guard->kind != control::Guard::Kind::begin)
            return handleNotification(r, line, overlong);
        r.inBlock = true;
        r.stamp = guard->stamp;
        r.body.clear();
        r.blockLost = false;
        r.answer.reset();
        std::lock_guard lock(mutex_);
        r.attachBlock = !guard->fromClient && !r.sawAttach;
        r.sawAttach = r.sawAttach || r.attachBlock;
        if (guard->fromClient && !pending_.empty()) {
            r.answer = std::move(pending_.front());
            pending_.pop_front();
        }
        return;
    }
    const auto guard = overlong ? std::nullopt : control::parseGuard(line);
    if (!guard || guard->kind == control::Guard::Kind::begin || guard->stamp != r.stamp) {
        if (overlong)
            r.blockLost = true;
        else if ((r.answer || r.attachBlock) && !r.blockLost)
            r.body.append(line).push_back('\n');
        return;
    }
    r.inBlock = false;
    const bool ok = guard->kind == control::Guard::Kind::end && !r.blockLost;
    if (r.attachBlock && !ok)
        r.attachError =
            r.body.empty() ? std::string("接続できませんでした") : r.body.substr(0, r.body.size() - 1);
    if (r.answer) {
        std::lock_guard lock(mutex_);
        r.answer->done = true;
        r.answer->ok = ok;
        if (!r.answer->abandoned)
            r.answer->body = std::move(r.body);
        r.answer.reset();
        changed_.notify_all();
    }
}

void TmuxControl::handleNotification(Reading& r, std::string_view line, std::size_t overlong) {
    std::string_view rest = line;
    const std::string_view name = word(rest);
    if (name == "%output") {
        const std::string_view pane = word(rest);
        if (overlong)
            return emit({.kind = Kind::output, .id = pane, .bytes = overlong});
        const std::size_t bytes = control::decodeOutput(rest, r.decoded);
        return emit({.kind = Kind::output, .id = pane, .data = r.decoded, .bytes = bytes});
    }
    if (overlong)
        return;
    if (name == "%layout-change")
        return emit({.kind = Kind::layout, .id = word(rest)});
    if (name == "%window-add" || name == "%window-close")
        return emit({.kind = Kind::windows, .id = word(rest)});
    if (name.starts_with("%unlinked-window-"))
        return emit({.kind = Kind::otherWindows, .id = word(rest)});
    if (name == "%sessions-changed")
        return emit({.kind = Kind::sessions});
    if (name == "%exit") {
        r.exitReason = std::string(rest);
        return;
    }
    if (name == "%session-changed") {
        const std::string_view id = word(rest);
        std::unique_lock lock(mutex_);
        if (rest != wanted_) {
            // With detach-on-destroy off tmux moves a client whose session ended to another one; this
            // component watches one session and never follows it elsewhere.
            r.movedAway = true;
            endClient();
            return;
        }
        session_ = rest;
        sessionId_ = id;
        lock.unlock();
        // Told before watch() returns, so a caller's handler has it first.
        emit({.kind = Kind::session, .id = rest});
        lock.lock();
        attached_ = true;
        told_ = rest;
        changed_.notify_all();
        return;
    }
    if (name == "%session-renamed") { // every session's renaming, each with its id
        const std::string_view id = word(rest);
        std::unique_lock lock(mutex_);
        if (id != sessionId_ || session_.empty())
            return;
        if (wanted_ == session_)
            wanted_ = rest;
        session_ = rest;
        lock.unlock();
        return emit({.kind = Kind::renamed, .id = rest});
    }
}

void TmuxControl::finish(Reading& r) {
    std::unique_lock lock(mutex_);
    // Reaped here, so no zombie remains; a client that closed its output but lingers is ended.
    if (pid_ > 0) {
        int status = 0;
        pid_t got = ::waitpid(pid_, &status, WNOHANG);
        for (int i = 0; got == 0 && i < 100; ++i) {
            lock.unlock();
            std::this_thread::sleep_for(10ms);
            lock.lock();
            got = ::waitpid(pid_, &status, WNOHANG);
        }
        if (got == 0) {
            ::kill(-pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid_ = -1;
    }
    const bool wasAttached = attached_;
    const bool deliberate = stopping_;
    const std::string session = wanted_;
    running_ = false;
    attached_ = false;
    input_.reset();
    for (auto& pending : pending_)
        pending->done = true; // not ok: no answer will come
    pending_.clear();
    if (!wasAttached && !deliberate)
        failedAt_ = Clock::now();
    const std::shared_ptr<Cancellation> probeStop = probeStop_;
    changed_.notify_all();
    lock.unlock();
    // Its pipe is not kept once this client is over.
    const std::shared_ptr<void> release(nullptr, [this](void*) {
        std::lock_guard lock(mutex_);
        probeStop_.reset();
    });
    if (deliberate)
        return;

    Kind kind = Kind::ended;
    std::string reason;
    if (!wasAttached) {
        reason = r.attachError.empty() ? std::string("接続できませんでした") : r.attachError;
    } else if (r.movedAway) {
        reason = "セッションが終了しました";
    } else {
        // %exit says little ("detached", often nothing): one look at the server tells a session that
        // ended from a server that is gone.
        auto probe = runSubprocess(*tmux_.executablePath(), {"-u", "has-session", "-t", "=" + session},
                                   {.timeLimit = 2s, .cancelFd = probeStop ? probeStop->fd() : -1});
        if (probe.cancelled)
            return;
        if (probe.ok())
            reason = r.exitReason && !r.exitReason->empty() ? *r.exitReason : "切断されました";
        else if (probe.started && !probe.signaled &&
                 probe.err.find("can't find session") != std::string::npos)
            reason = "セッションが終了しました";
        else {
            kind = Kind::serverGone;
            reason = "tmux サーバーが終了しました";
        }
    }
    Log::write("WARN: tmux の制御クライアントが終了しました: " + session + ": " + reason);
    emit({.kind = kind, .id = session, .data = reason});
}

} // namespace torvane
