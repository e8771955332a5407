#pragma once

#include "app/ui/AlertPresenter.hpp"

#include <deque>
#include <vector>

namespace torvane::test {

// Answers alerts from a script of button indexes (the first button when the script has run out) and
// records every alert it was shown.
class FakeAlertPresenter final : public AlertPresenter {
public:
    std::size_t run(const Alert& alert) override {
        shown.push_back(alert);
        if (answers.empty())
            return 0;
        const std::size_t answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::deque<std::size_t> answers;
    std::vector<Alert> shown;
};

} // namespace torvane::test
