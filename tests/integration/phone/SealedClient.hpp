#pragma once

#include "app/phone/RequestHandler.hpp"
#include "app/phone/Seal.hpp"
#include "app/phone/SealedCall.hpp"

#include <string>
#include <vector>

namespace torvane::test {

// A phone as the page is, without a socket: seals each call under a credential ("ID.KEY", a phone's
// or a pairing code's), learns the app's run from the answers as the page does, and reads an answer
// as "status|body", or as its outer status line when it does not open.
class SealedClient {
public:
    SealedClient(RequestHandler& handler, const std::string& credential) : handler_(&handler) {
        use(credential);
    }

    void use(const std::string& credential) {
        id_ = credential.substr(0, credential.find('.'));
        key_ = seal::keyFromText(credential.substr(credential.find('.') + 1)).value_or(seal::Key{});
    }
    void sendTo(RequestHandler& handler) { handler_ = &handler; }

    // A body as the page makes it, timed `skew` ms off the server's clock.
    std::string sealed(const std::string& id, const std::string& method, const std::string& target,
                       const std::string& body = "", long long skew = 0) const {
        return id_ + "." +
               seal::seal(key_,
                          seal::formatRequest({id, seal::nowMillis() + skew, run, method, target, body}));
    }

    // Posts a body as it is; the answer to `id`.
    std::string post(const std::string& sealedBody, const std::string& id) {
        return read(answerNow(*handler_, "POST /api/sealed HTTP/1.1", sealedBody, Origin::network).bytes(),
                    id);
    }

    // A response's bytes as the answer to `id`.
    std::string read(const std::string& response, const std::string& id) {
        const std::string envelope = response.substr(response.find("\r\n\r\n") + 4);
        const auto text = seal::open(key_, envelope);
        if (!response.starts_with("HTTP/1.1 200 OK") || !text)
            return response.substr(9, response.find("\r\n") - 9);
        nonces.push_back(envelope.substr(0, 32));
        std::vector<std::string> f{""}; // "A", id, status, time, run, type, body
        for (const char c : *text) {
            if (f.size() < 7 && c == '\n')
                f.emplace_back();
            else
                f.back().push_back(c);
        }
        serverTime = std::stoll(f[3]);
        run = f[4];
        return f[0] == "A" && f[1] == id ? f[2] + "|" + f[6] : "another answer";
    }

    // A fresh call; sent again once when the app names another run, as the page does.
    std::string call(const std::string& method, const std::string& target, const std::string& body = "") {
        static int calls = 0;
        for (int attempt = 0;; ++attempt) {
            const std::string id = "call-0123456789ab-" + std::to_string(++calls);
            std::string answer = post(sealed(id, method, target, body), id);
            if (attempt > 0 || !answer.starts_with("412|"))
                return answer;
        }
    }

    std::string run;
    long long serverTime = 0;
    std::vector<std::string> nonces; // the answers', in base64: 24 bytes are 32 characters

private:
    RequestHandler* handler_;
    std::string id_;
    seal::Key key_{};
};

} // namespace torvane::test
