#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <vector>

namespace torvane {

// Turns SIGTERM, SIGINT and SIGHUP into a call on the Qt main thread. The handler only writes the
// signal number into a pipe (all it may safely do); a socket notifier reads it in the event loop.
// Handlers are installed for as long as the bridge exists (without the pipe, the signals keep their
// default action); there is at most one bridge.
class SignalBridge {
public:
    using Handler = std::function<void(int signal)>;

    explicit SignalBridge(Handler handler);
    ~SignalBridge();
    SignalBridge(const SignalBridge&) = delete;
    SignalBridge& operator=(const SignalBridge&) = delete;

    static const std::vector<int>& handledSignals();

private:
    void drain();

    Handler handler_;
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace torvane
