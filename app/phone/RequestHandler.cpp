#include "app/phone/RequestHandler.hpp"

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
    return plan.answer ? std::move(*plan.answer) : plan.work(true);
}

} // namespace torvane
