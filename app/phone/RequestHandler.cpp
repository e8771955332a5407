#include "app/phone/RequestHandler.hpp"

#include <future>

namespace torvane {

Response answerNow(RequestHandler& handler, std::string_view headerText, std::string_view body,
                   Origin origin) {
    auto request = Request::fromHead(headerText, origin);
    if (!request) {
        return Response::badRequest();
    }
    if (auto answer = handler.answerHead(*request)) {
        return std::move(*answer);
    }
    request->setBody(std::string(body));
    auto plan = handler.plan(std::move(*request));
    if (plan.later) {
        std::promise<Response> answer;
        auto future = answer.get_future();
        plan.later([&answer](Response response) { answer.set_value(std::move(response)); });
        return future.get();
    }
    return plan.answer ? std::move(*plan.answer) : plan.work(true);
}

} // namespace torvane
