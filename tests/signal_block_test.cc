// The signals held back through a rewrite's writes: nothing is blocked
// before hold(), a terminating signal raised while held waits for the end
// of the SignalBlock and then ends the process by itself, and the mask is
// as it was afterwards.
#include "signal_block.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace tagrun {
namespace {

bool blocked(int signal) {
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

TEST(SignalBlockTest, BlocksOnlyFromHoldUntilDestroyed) {
  ASSERT_FALSE(blocked(SIGINT));
  {
    SignalBlock hold_signals;
    EXPECT_FALSE(hold_signals.holding());
    EXPECT_FALSE(blocked(SIGINT));
    hold_signals.hold();
    hold_signals.hold();  // a second call changes nothing
    EXPECT_TRUE(hold_signals.holding());
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU,
                             SIGVTALRM, SIGPROF, SIGRTMIN}) {
      EXPECT_TRUE(blocked(signal)) << signal;
    }
    // Faults and the signals main() ignores are left alone.
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGXFSZ, SIGTSTP}) {
      EXPECT_FALSE(blocked(signal)) << signal;
    }
  }
  EXPECT_FALSE(blocked(SIGINT));
  EXPECT_FALSE(blocked(SIGTERM));
}

TEST(SignalBlockTest, KeepsAMaskThatWasAlreadySet) {
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr1, nullptr), 0);
  {
    SignalBlock hold_signals;
    hold_signals.hold();
  }
  EXPECT_TRUE(blocked(SIGUSR1));
  EXPECT_FALSE(blocked(SIGTERM));
  ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr), 0);
}

// The process goes on past the signal while held, and ends by it, as its
// default action says, once the SignalBlock is gone.
TEST(SignalBlockDeathTest, SignalTakesEffectWhenReleased) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EXIT(
        {
          std::signal(signal, SIG_DFL);
          {
            SignalBlock hold_signals;
            hold_signals.hold();
            std::raise(signal);
            std::fputs("went on while held\n", stderr);
          }
          std::fputs("went on after the release\n", stderr);
          std::exit(0);
        },
        ::testing::KilledBySignal(signal), "went on while held\n$");
  }
}

}  // namespace
}  // namespace tagrun
