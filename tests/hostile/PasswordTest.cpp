// Password guessing is slowed: repeated wrong passwords are answered only
// after a growing back-off, while the right password still works.

#include <chrono>

#include "HostileSystem.h"

namespace {

using Clock = std::chrono::steady_clock;

class PasswordGuessing : public HostileSystem {};

TEST_F(PasswordGuessing, WrongPasswordsAreSlowedAndTheRightOneStillWorks) {
    ASSERT_NO_FATAL_FAILURE(startService());
    ProgramResult signIn = ctl({"signin", kParent}, std::string(kParentPassword) + "\n");
    ASSERT_EQ(signIn.exitCode, 0) << signIn.output;

    std::vector<std::string> steps;
    for (int guess = 0; guess < 10; ++guess) {
        steps.push_back("frame:258:parent,guess" + std::to_string(guess));
        steps.push_back("word");
    }
    const Clock::time_point start = Clock::now();
    ProgramResult guesses = raw(child(), uiSocket(), steps, 90000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    size_t refused = 0;
    for (size_t at = guesses.output.find("answer 0"); at != std::string::npos;
         at = guesses.output.find("answer 0", at + 1)) {
        ++refused;
    }
    EXPECT_EQ(refused, 10u) << guesses.output;
    // Three free guesses, then 0.1 s doubling: the tenth waits 6.4 s and all
    // of them at least 12.7 s.
    EXPECT_GE(took.count(), 12700);

    const std::string log = serviceLog();
    const std::string uid = "uid:" + std::to_string(child().uid);
    EXPECT_TRUE(contains(log, "password check failed for " + uid + " (10 on this connection"))
        << log;
    EXPECT_TRUE(contains(log, "password check of " + uid + " held back")) << log;
    EXPECT_FALSE(contains(log, "guess")) << log;

    // The parent, on a connection of its own, is held only by the channel's
    // total, and the right password passes.
    ProgramResult check = ctl({"check-disable", kParent}, std::string(kParentPassword) + "\n");
    EXPECT_EQ(check.exitCode, 0) << check.output;
}

}  // namespace
