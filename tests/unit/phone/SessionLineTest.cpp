#include "app/phone/SessionLine.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;

TEST(SessionLine, TurnsFollowTheOrderOfJoiningPerSessionAndAPlaceGivenUpIsPassedOver) {
    SessionLine line;
    auto a1 = line.join("a"), a2 = line.join("a"), b1 = line.join("b");
    EXPECT_TRUE(a1->waitTurn(0ms));
    EXPECT_TRUE(b1->waitTurn(0ms)) << "another session does not wait for a";
    EXPECT_FALSE(a2->waitTurn(10ms)) << "a1 is still in";
    auto a3 = line.join("a"), a4 = line.join("a");
    a4.reset(); // dropped unserved, as a request whose work never ran
    EXPECT_FALSE(a3->waitTurn(0ms));
    a3 = line.join("a");
    a1->leave();
    EXPECT_TRUE(a3->waitTurn(0ms)) << "a2 and the first a3 gave up, a4 was dropped";
    a3.reset();
    EXPECT_TRUE(line.join("a")->waitTurn(0ms));
}
