#include "app/phone/Server.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "app/phone/ServerEngine.hpp"
#include "app/phone/SessionQueues.hpp"

#include <sys/resource.h>

namespace torvane {

namespace {

// Every open connection costs a descriptor; the usual soft limit of 1,024 is far below what the
// system allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

Server::Server(RequestHandler& handler, PairingSecret& secret, ServerOptions options)
    : handler_(handler), secret_(secret), options_(std::move(options)) {}

Server::~Server() {
    const std::lock_guard lock(lifecycle_);
    tearDown();
    queues_.reset(); // waits for the work under way: none may log after the log has gone
}

void Server::tearDown() {
    if (engine_) {
        engine_->shutDown();
        engine_.reset(); // the last job still running, if any, ends it
    }
    running_ = false;
}

void Server::start(std::uint16_t preferredPort) {
    const std::lock_guard lock(lifecycle_);
    if (running_) {
        return;
    }
    tearDown(); // a listener that failed earlier is replaced
    raiseDescriptorLimit();
    if (!queues_) {
        queues_ = std::make_unique<SessionQueues>(options_.workers);
    }
    const ListenPlan plan = listenPlan();
    for (const auto& word : plan.unknown) {
        Log::write("WARN: スマホ連携: 待ち受けの設定 " + word +
                   " は使えません（lan、all、loopback かアドレス）");
    }
    std::vector<std::uint16_t> candidates{preferredPort};
    candidates.insert(candidates.end(), std::begin(fallbackPorts), std::end(fallbackPorts));
    for (const std::uint16_t candidate : candidates) {
        auto engine = std::make_shared<ServerEngine>(handler_, options_, *queues_, plan);
        if (!engine->listen(candidate)) {
            engine->shutDown();
            continue;
        }
        port_ = engine->boundPort();
        engine_ = std::move(engine);
        running_ = true;
        engine_->run(running_);
        Log::write("サーバーを開始しました (port " + std::to_string(port_.load()) + ")");
        return;
    }
    Log::write("ERROR: サーバーを開始できませんでした");
}

void Server::stop() {
    const std::lock_guard lock(lifecycle_);
    const bool wasRunning = running_;
    tearDown();
    if (wasRunning) // the end of an app that never started the phone link stops nothing
        Log::write("サーバーを停止しました");
}

void Server::awaitWork() {
    const std::lock_guard lock(lifecycle_);
    tearDown();
    queues_.reset(); // a later start makes new ones
}

ListenPlan Server::listenPlan() const {
    const auto setting =
        options_.settings != nullptr ? options_.settings->string(Config::Key::listenAddresses) : std::nullopt;
    return ListenPlan::parse(setting.value_or("lan"));
}

std::optional<std::string> Server::localIPAddress() const {
    const InterfacePolicy& policy =
        options_.interfacePolicy != nullptr ? *options_.interfacePolicy : hostInterfacePolicy();
    return listenPlan().pairingAddress(
        options_.interfaces ? options_.interfaces() : systemInterfaceAddresses(), policy);
}

std::optional<std::string> Server::pairingURL(std::string_view code) {
    if (!running_) {
        return std::nullopt;
    }
    const auto address = localIPAddress();
    if (!address) {
        return std::nullopt;
    }
    return pairingURL(*address, port_.load(), code);
}

std::string Server::pairingURL(const std::string& address, std::uint16_t port, std::string_view code) {
    // The code rides in the fragment, which the browser keeps to itself.
    return "http://" + address + ":" + std::to_string(port) + "/#p=" + std::string(code);
}

} // namespace torvane
