// What sealing costs the server per request: opening a page's envelope, sealing the answer, and the
// whole sealed path through the router next to the same request made with the token.
#include "app/phone/Router.hpp"
#include "app/phone/Seal.hpp"
#include "app/phone/SealedCall.hpp"
#include "tests/fakes/MemorySettings.hpp"

#include <benchmark/benchmark.h>
#include <string>

using namespace torvane;

namespace {

const seal::Key key = *seal::keyFromText("2eDrkVxrlEU9KI1n4dEZHWq8Rq95-shHaniLlRuavuU");

std::string screen200() {
    std::string text;
    for (int i = 0; i < 200; ++i) {
        text += "line " + std::to_string(i) + ": ビルド中… src/module_" + std::to_string(i) + ".cpp [ok] ";
        text += std::string(40, '-') + "\n";
    }
    return text;
}

std::string sendRequest(int n) {
    return seal::formatRequest({"bench-" + std::to_string(n) + "-0123456789abcdef", seal::nowMillis(), "run",
                                "POST", "/api/send",
                                "s=work&text=%E3%81%93%E3%82%93%E3%81%AB%E3%81%A1%E3%81%AF&id=0123"});
}

// Open a send request, seal a state-sized answer: the crypto of one ordinary request.
void OpenRequestAndSealAnswer(benchmark::State& state) {
    const std::string envelope = seal::seal(key, sendRequest(0));
    const std::string answer(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        auto inner = seal::open(key, envelope);
        benchmark::DoNotOptimize(inner);
        auto sealedAnswer = seal::seal(
            key, seal::formatAnswer({"bench-0-0123456789abcdef", 200, 0, "run", "text/plain", answer}));
        benchmark::DoNotOptimize(sealedAnswer);
    }
}
BENCHMARK(OpenRequestAndSealAnswer)->Arg(600)->Arg(static_cast<long>(screen200().size()));

// The whole path through the router for a route that does no tmux work (a 404 inside), sealed and plain.
void ThroughTheRouter(benchmark::State& state) {
    MemorySettings settings;
    Tmux tmux;
    PairingSecret secret(settings);
    PhoneRegistry phones(settings);
    Router router(
        tmux, [] { return PowerState{}; }, [] { return false; }, secret, phones);
    const std::string code = *phones.newCode();
    const PhoneRegistry::Phone phone = *phones.redeem(code.substr(0, code.find('.')), "bench");
    const bool sealedCall = state.range(0) == 1;
    const std::string header = "GET /api/nothing HTTP/1.1\r\nX-Token: " + secret.token();
    int n = 0;
    std::string run;
    const auto envelope = [&] {
        return phone.id + "." +
               seal::seal(phone.key,
                          seal::formatRequest({"bench-" + std::to_string(++n) + "-0123456789abcdef",
                                               seal::nowMillis(), run, "GET", "/api/nothing", ""}));
    };
    // The first answer (412) tells the run, as it does the page: "A", id, status, time, run, …
    const auto first =
        *seal::open(phone.key, answerNow(router, "POST /api/sealed HTTP/1.1", envelope()).body);
    std::size_t at = 0;
    for (int line = 0; line < 4; ++line)
        at = first.find('\n', at) + 1;
    run = first.substr(at, first.find('\n', at) - at);
    for (auto _ : state) {
        state.PauseTiming();
        const std::string sealed = sealedCall ? envelope() : "";
        state.ResumeTiming();
        auto answer = sealedCall ? answerNow(router, "POST /api/sealed HTTP/1.1", sealed, Origin::network)
                                 : answerNow(router, header, "", Origin::loopback);
        benchmark::DoNotOptimize(answer);
    }
}
BENCHMARK(ThroughTheRouter)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
