#include "app/power/CarryLink.hpp"

#include <gtest/gtest.h>
#include <thread>

using namespace torvane;
using namespace std::chrono_literals;

TEST(CarryLink, APauseAnswersWhatHappenedWhenTheMainThreadIsLate) {
    int pauses = 0;
    CarryLink link;
    std::thread mainThread;
    std::function<void()> held;
    link.attach([&](std::function<void()> call) { mainThread = std::thread(std::move(call)); },
                [&](bool paused) {
                    ++pauses;
                    std::this_thread::sleep_for(1500ms); // an evaluation that outlasts the limit
                    CarryState state;
                    state.paused = paused;
                    return state;
                });
    const auto state = link.setPaused(true, 1s);
    mainThread.join();
    EXPECT_TRUE(state && state->paused) << "it took effect, yet the answer says it failed";
    // A main thread that gets to the pause only after the answer was given.
    link.attach([&](std::function<void()> call) { held = std::move(call); },
                [&](bool) { return ++pauses, *state; });
    EXPECT_FALSE(link.setPaused(false, 50ms).has_value());
    held();
    EXPECT_EQ(pauses, 1) << "answered as failed, yet it took effect afterwards";
}
