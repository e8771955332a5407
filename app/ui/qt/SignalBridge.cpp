#include "app/ui/qt/SignalBridge.hpp"

#include "app/core/Log.hpp"
#include "common/Text.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace torvane {

namespace {

std::atomic<int> writeEnd{-1};

extern "C" void onSignal(int signal) {
    const int saved = errno;
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

const std::vector<int>& SignalBridge::handledSignals() {
    static const std::vector<int> list{SIGTERM, SIGINT, SIGHUP};
    return list;
}

SignalBridge::SignalBridge(Handler handler) : handler_(std::move(handler)) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        Log::write("WARN: シグナルを受け取る準備ができません: " + text::errorText(errno));
        fds_[0] = fds_[1] = -1;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { drain(); });
    writeEnd.store(fds_[1]);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : handledSignals())
        ::sigaction(s, &action, nullptr);
}

SignalBridge::~SignalBridge() {
    if (!notifier_)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : handledSignals())
        ::sigaction(s, &action, nullptr);
    writeEnd.store(-1);
    notifier_.reset();
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void SignalBridge::drain() {
    unsigned char buffer[64];
    int last = 0;
    for (;;) {
        const ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
        if (n > 0) {
            last = buffer[n - 1];
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (last != 0 && handler_)
        handler_(last);
}

} // namespace torvane
