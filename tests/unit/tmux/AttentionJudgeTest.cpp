#include "app/tmux/Attention.hpp"
#include "app/tmux/linux/ProcPaneReader.hpp"

#include <gtest/gtest.h>

using namespace torvane;
using namespace std::chrono_literals;

namespace {

// Looks one second apart, as the tracker takes them.
struct Looks {
    AttentionJudge judge;
    AttentionJudge::Clock::time_point now{};
    PaneLook look = [] {
        PaneLook l;
        l.foreground = 7;
        l.members = 1;
        l.cpuTicks = 100;
        l.written = 5000;
        return l;
    }();

    Attention next() {
        now += 1s;
        return judge.next(look, now);
    }
};

} // namespace

TEST(AttentionJudge, AQuietWaitOnTheTerminalIsInputOnlyOnceItLasted) {
    Looks a;
    a.look.wait = TerminalWait::certain; // a blocked read of the terminal
    EXPECT_EQ(a.next(), Attention::working) << "one look shows no quiet stretch yet";
    EXPECT_EQ(a.next(), Attention::input);
    a.look.written = *a.look.written + 1; // a key echoed by the program itself
    EXPECT_EQ(a.next(), Attention::working) << "leaving input is immediate";
    EXPECT_EQ(a.next(), Attention::input);
    a.look.cpuTicks = *a.look.cpuTicks + 50;
    EXPECT_EQ(a.next(), Attention::working) << "CPU between looks is work";
    a.look.written.reset();
    EXPECT_EQ(a.next(), Attention::working) << "what cannot be read cannot be called quiet";
    EXPECT_EQ(a.next(), Attention::working);

    Looks b; // a wait a timeout or another fd may end: a spinner's, or a program polling a socket too
    b.look.wait = TerminalWait::maybe;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(b.next(), Attention::working) << i;
    EXPECT_EQ(b.next(), Attention::input) << "three quiet seconds";
    b.look.foreground = 9; // another job in front, its counters not comparable
    EXPECT_EQ(b.next(), Attention::working);
    b.look.wait = TerminalWait::none;
    b.look.foreground = 7;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(b.next(), Attention::working) << "quiet but not on the terminal: sleep, a download";
}

TEST(AttentionJudge, TheShellsOwnPromptIsShellAndAGonePaneStaysEnded) {
    Looks a;
    a.look.shellInFront = true;
    a.look.wait = TerminalWait::certain;
    EXPECT_EQ(a.next(), Attention::shell) << "at once: nothing calls for the user";
    a.look.wait = TerminalWait::none;
    EXPECT_EQ(a.next(), Attention::working) << "the shell busy with a loop of builtins";

    a.look.identity = 42; // the pid now belongs to another process
    EXPECT_EQ(a.next(), Attention::ended);
    a.look.identity = 0;
    EXPECT_EQ(a.next(), Attention::ended) << "an end is final";
    Looks b;
    b.look.present = false;
    EXPECT_EQ(b.next(), Attention::ended);
}

TEST(ProcPaneReader, ReadsStatFieldsAfterACommandNameWithSpacesAndParentheses) {
    const auto s = ProcPaneReader::parseStat("4242 (a) (b) c) S 1 4242 4240 34817 4250 4194560 1 0 0 0 "
                                             "12 3 4 5 20 0 1 0 98765 0 0\n");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->state, 'S');
    EXPECT_EQ(s->pgrp, 4242);
    EXPECT_EQ(s->session, 4240);
    EXPECT_EQ(s->tpgid, 4250);
    EXPECT_EQ(s->cpuTicks, 12u + 3 + 4 + 5) << "reaped children's time counts: a script's commands";
    EXPECT_EQ(s->start, 98765u);
    EXPECT_FALSE(s->ignored) << "an old kernel's shorter line";
    EXPECT_FALSE(ProcPaneReader::parseStat("4242 (a) S 1 2"));

    // An interactive bash at its prompt: SIGTSTP (20) among the ignored.
    const auto shell = ProcPaneReader::parseStat(
        "22048 (bash) S 22046 22046 15709 34817 22046 4194304 190 0 0 0 0 0 0 0 20 0 1 0 2854017 4464640 849 "
        "18446744073709551615 94100417929216 94100418718621 140722055949536 0 0 0 0 3686404 1266761467 0 0 0 "
        "17 "
        "1 0 0 0 0 0 94100418951920 94100419000164 94101300801536 140722055952807 140722055952857 "
        "140722055952857 140722055954410 0\n");
    ASSERT_TRUE(shell && shell->ignored);
    EXPECT_EQ(*shell->ignored, 3686404u);
}
