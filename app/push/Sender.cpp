#include "app/push/Sender.hpp"

#include "app/core/Config.hpp"
#include "app/core/Log.hpp"
#include "app/phone/Token.hpp"
#include "common/Subprocess.hpp"

#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <span>

extern char** environ;

namespace torvane::push {

namespace {

// One header line that cannot be split: control characters (CR and LF among them) become spaces, and
// text beyond ASCII goes as an RFC 2047 encoded word, which ntfy decodes.
std::string header(std::string_view name, std::string_view value) {
    std::string clean(value);
    bool ascii = true;
    for (char& c : clean) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            c = ' ';
        ascii = ascii && b < 0x80;
    }
    clean = oneLine(clean, 200); // valid UTF-8, no C1 controls
    return std::string(name) + ": " +
           (ascii ? clean
                  : "=?UTF-8?B?" +
                        token::base64(
                            std::span(reinterpret_cast<const unsigned char*>(clean.data()), clean.size())) +
                        "?=");
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

std::string seconds(std::chrono::milliseconds limit) {
    return std::to_string((limit.count() + 999) / 1000);
}

std::string firstLine(const std::string& text) {
    const std::string line = oneLine(text.substr(0, text.find('\n')), 160);
    return line.empty() ? line : ": " + line;
}

} // namespace

Sender::Sender(Options options) : options_(options) {
    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    thread_ = std::thread([this] { run(); });
}

Sender::~Sender() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    stop_ = true;
    cancel_.cancel();
    if (multi_)
        curl_multi_wakeup(multi_);
    wake_.notify_all();
    thread_.join();
    if (multi_)
        curl_multi_cleanup(multi_);
}

void Sender::send(Delivery delivery) {
    std::function<void(const std::string&)> droppedDone;
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        if (queue_.size() >= options_.queueLimit && !queue_.empty()) {
            droppedDone = std::move(queue_.front().done);
            queue_.pop_front();
            ++droppedUnlogged_;
            ++dropped_;
        }
        queue_.push_back(std::move(delivery));
    }
    wake_.notify_one();
    if (droppedDone)
        droppedDone("送りきれない通知が溜まったため、古いものから取りやめました");
}

bool Sender::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, limit, [this] { return queue_.empty() && !busy_; });
}

void Sender::run() {
    for (;;) {
        Delivery delivery;
        std::uint64_t droppedNow = 0;
        {
            std::unique_lock lock(mutex_);
            busy_ = false;
            idle_.notify_all();
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            delivery = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            droppedNow = std::exchange(droppedUnlogged_, 0);
        }
        if (droppedNow > 0)
            Log::write("WARN: スマホへの通知が送りきれず、古いものから " + std::to_string(droppedNow) +
                       " 件を取りやめました");
        const std::string error = deliver(delivery);
        if (delivery.done && !stop_)
            delivery.done(error);
    }
}

std::string Sender::deliver(const Delivery& d) {
    std::string errors;
    auto add = [&errors](const std::string& line) { errors += (errors.empty() ? "" : "\n") + line; };
    if (d.endpoint) {
        const std::optional<Failure> failure = post(*d.endpoint, d.message);
        note("通知先 " + d.endpoint->place, failure);
        if (failure)
            add(d.endpoint->place + ": " + failure->text);
    }
    if (d.command && !stop_) {
        const std::optional<Failure> failure = execute(*d.command, d.message);
        note("通知コマンド " + d.command->executable, failure);
        if (failure)
            add(d.command->executable + ": " + failure->text);
    }
    return errors;
}

void Sender::note(const std::string& target, const std::optional<Failure>& failure) {
    if (stop_)
        return;
    std::set<std::string>& kinds = failing_[target];
    if (!failure) {
        if (!kinds.empty())
            Log::write(target + " へ通知が届くようになりました");
        failing_.erase(target);
        return;
    }
    if (kinds.insert(failure->kind).second)
        Log::write("WARN: " + target + " へ通知を送れません: " + failure->text +
                   "（同じ失敗は、届くようになるまで記録しません）");
}

std::optional<Sender::Failure> Sender::post(const Endpoint& endpoint, const Message& message) {
    const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy || !multi_)
        return Failure{"init", "通信の準備ができません"};
    curl_slist* list = nullptr;
    for (const std::string& line :
         {header("Title", message.title), header("Priority", message.priority), header("Tags", message.tags),
          std::string("Content-Type: text/plain; charset=utf-8"), std::string("Expect:")})
        list = curl_slist_append(list, line.c_str());
    const std::unique_ptr<curl_slist, ListDeleter> headers(list);
    char errorText[CURL_ERROR_SIZE] = {};
    const std::string agent(Config::appName);
    CURL* c = easy.get();
    curl_easy_setopt(c, CURLOPT_URL, endpoint.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L); // a redirect is reported, never followed
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeLimit.count()));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.timeLimit.count()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, message.body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(message.body.size()));
    curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);

    // Through the multi interface so that the destructor can end a send under way at once.
    curl_multi_add_handle(multi_, c);
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (int running = 1; !stop_;) {
        if (curl_multi_perform(multi_, &running) != CURLM_OK)
            break;
        if (running == 0) {
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &left))
                if (msg->msg == CURLMSG_DONE && msg->easy_handle == c)
                    result = msg->data.result;
            break;
        }
        curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(multi_, c);

    switch (result) {
    case CURLE_OK:
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        return Failure{"resolve", "ホスト名を解決できません"};
    case CURLE_COULDNT_CONNECT:
        return Failure{"connect", "接続できません"};
    case CURLE_OPERATION_TIMEDOUT:
        return Failure{"timeout", seconds(options_.timeLimit) + " 秒以内に応答がありません"};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
        return Failure{"tls", std::string("TLS の確認に失敗しました（") + errorText + "）"};
    default:
        return Failure{"curl" + std::to_string(result), *errorText ? errorText : curl_easy_strerror(result)};
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status < 300)
        return std::nullopt;
    std::string text = "HTTP " + std::to_string(status);
    if (status >= 300 && status < 400)
        text += "（別の場所へ転送されました。転送先の URL を設定してください）";
    else if (status == 401 || status == 403)
        text += "（このトピックへの送信が許されていません）";
    else if (status == 429)
        text += "（送信が多すぎると断られました）";
    return Failure{"http" + std::to_string(status), text};
}

std::optional<Sender::Failure> Sender::execute(const Command& command, const Message& message) {
    SubprocessOptions o;
    o.timeLimit = options_.timeLimit;
    o.cancelFd = cancel_.fd();
    o.input = message.body;
    // The other fields for a script that wants them; the session name never reaches an argument.
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (std::string_view(*e).rfind("TORVANE_", 0) != 0)
            env.emplace_back(*e);
    env.push_back("TORVANE_TITLE=" + oneLine(message.title, 200));
    env.push_back("TORVANE_PRIORITY=" + message.priority);
    env.push_back("TORVANE_TAGS=" + message.tags);
    o.environment = std::move(env);
    const SubprocessResult r = runSubprocess(command.executable, command.arguments, o);
    if (!r.started)
        return Failure{"start", "起動できません（" + r.startError + "）"};
    if (r.timedOut)
        return Failure{"timeout", seconds(options_.timeLimit) + " 秒以内に終わらなかったため止めました"};
    if (r.signaled)
        return Failure{"signal", "シグナル " + std::to_string(r.exitStatus) + " で終了しました"};
    if (r.exitStatus != 0)
        return Failure{"exit", "終了コード " + std::to_string(r.exitStatus) + firstLine(r.err)};
    return std::nullopt;
}

} // namespace torvane::push
