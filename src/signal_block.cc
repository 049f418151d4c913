#include "signal_block.h"

#include <pthread.h>

#include <array>
#include <cassert>

namespace tagrun {
namespace {

// Every signal whose default action ends the process and that can be
// blocked, apart from those a fault raises. SIGPIPE and SIGXFSZ are ignored
// by main() instead: a write to a closed pipe or past the size limit must
// fail and be reported, not wait.
constexpr std::array kTerminating{SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGALRM, SIGUSR1,  SIGUSR2,
                                  SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSTKFLT};

}  // namespace

void SignalBlock::hold() {
  if (holding_) {
    return;
  }
  sigset_t blocked;
  sigemptyset(&blocked);
  for (const int signal : kTerminating) {
    sigaddset(&blocked, signal);
  }
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
    sigaddset(&blocked, signal);  // real-time signals end a process by default too
  }
  [[maybe_unused]] const int error = ::pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  assert(error == 0);
  holding_ = true;
}

SignalBlock::~SignalBlock() {
  if (holding_) {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
}

}  // namespace tagrun
