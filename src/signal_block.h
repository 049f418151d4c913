// Holds back, for the write phase of a rewrite, the signals that would end
// the process at once: the writes, the sync, the close and the report then
// run to their end, and the signal takes effect afterwards.
//
// Contract: nothing is blocked until hold() is called, so a run stopped
// before its first write still ends at once. From hold() to the
// destruction of the SignalBlock, the catchable signals whose default
// action ends the process are blocked for the calling thread; the
// destructor restores the mask that was in force before hold(), and a
// signal that arrived meanwhile is then delivered with whatever action it
// has (by default the process ends as that signal says). SIGKILL and
// SIGSTOP cannot be blocked; a crash signal (SIGSEGV, SIGBUS...) is never
// blocked, since blocking it would hide a fault.
#ifndef TAGRUN_SIGNAL_BLOCK_H_
#define TAGRUN_SIGNAL_BLOCK_H_

#include <csignal>

namespace tagrun {

class SignalBlock {
 public:
  SignalBlock() = default;
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;
  // Restores the mask saved by hold(), if it was called; a signal held
  // back meanwhile is delivered here, and may end the process.
  ~SignalBlock();

  // Blocks the terminating signals until destruction. Calls after the first
  // change nothing. Cannot fail: the signal set is valid by construction.
  void hold();

  [[nodiscard]] bool holding() const { return holding_; }

 private:
  sigset_t previous_{};
  bool holding_ = false;
};

}  // namespace tagrun

#endif  // TAGRUN_SIGNAL_BLOCK_H_
