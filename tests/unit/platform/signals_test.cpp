#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "platform/signals.h"

namespace {

class SignalsDeathTest : public ::testing::Test {
 protected:
  // Re-executes the test binary for each death test: safe with the
  // sanitizers' threads.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST(Signals, EachFatalSignalHasItsText) {
  EXPECT_STREQ(fatal_signal_text(SIGINT),
               "Caught SIGINT: interactive attention signal, probably a ctrl+c\n");
  EXPECT_STREQ(fatal_signal_text(SIGILL), "Caught SIGILL: illegal instruction\n");
  EXPECT_STREQ(fatal_signal_text(SIGFPE),
               "Caught SIGFPE: arithmetic exception, such as divide by zero\n");
  EXPECT_STREQ(fatal_signal_text(SIGSEGV), "Caught SIGSEGV: segfault\n");
  EXPECT_STREQ(fatal_signal_text(SIGABRT),
               "Caught SIGABRT: usually caused by an abort() or assert()\n");
  EXPECT_STREQ(fatal_signal_text(SIGTERM),
               "Caught SIGTERM: a termination request was sent to the program\n");
}

TEST_F(SignalsDeathTest, FatalHandlerWritesItsLineToStandardErrorAndExitsWithOne) {
  EXPECT_EXIT(fatal_signal_handler(SIGSEGV), ::testing::ExitedWithCode(1),
              "^Caught SIGSEGV: segfault\n$");
}

TEST_F(SignalsDeathTest, InstalledHandlersCatchARaisedSignal) {
  EXPECT_EXIT(
      {
        install_fatal_signal_handlers();
        raise(SIGTERM);
      },
      ::testing::ExitedWithCode(1), "^Caught SIGTERM: a termination request was sent");
}

TEST_F(SignalsDeathTest, NumberedHandlerWritesTheNumberToStandardOutput) {
  // Standard output is joined to standard error so the death test sees it;
  // what stdio already holds goes out first.
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(2, 1);
        numbered_signal_handler(11);
      },
      ::testing::ExitedWithCode(1), "^signal 11\n$");
  EXPECT_EXIT(
      {
        fflush(stdout);
        dup2(2, 1);
        numbered_signal_handler(-2147483647 - 1);
      },
      ::testing::ExitedWithCode(1), "^signal -2147483648\n$");
}

}  // namespace
