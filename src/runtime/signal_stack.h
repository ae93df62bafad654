#pragma once

#include <signal.h>

#include <cstddef>
#include <functional>
#include <thread>

#include "base/result.h"

namespace pacpick::rt {

/// An alternate stack for the signal handlers of the thread that makes it,
/// unless it has one (a sanitizer's, say), so that a fatal signal's handler
/// runs even when the thread ran out of its own stack. Lives as long as the
/// thread; mapped, not allocated; a failure leaves the thread as it was.
class AlternateSignalStack {
  public:
    AlternateSignalStack() noexcept;
    ~AlternateSignalStack();
    AlternateSignalStack(const AlternateSignalStack&) = delete;
    AlternateSignalStack& operator=(const AlternateSignalStack&) = delete;

  private:
    void* base_ = nullptr;
    size_t size_ = 0;
};

/// Leaves `signals` to the entry thread alone: every thread the program starts
/// from then on has them blocked from its first instruction (`NewThreadMask`),
/// so that their handlers never run beside the entry thread's own work. Set
/// once at entry, before any thread starts.
void answer_on_entry_thread_only(const sigset_t& signals);

/// Starts a thread of the program's own, running `body` on its alternate
/// signal stack, with the signals the entry thread alone answers blocked from
/// its first instruction. A thread that cannot be had (a limit reached,
/// memory short) is an error, not an exception.
Result<std::thread> start_thread(std::function<void()> body);

}  // namespace pacpick::rt
