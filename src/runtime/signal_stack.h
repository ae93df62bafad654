#pragma once

#include <signal.h>

#include <cstddef>

namespace pacpick::rt {

/// An alternate stack for the signal handlers of the thread that makes it,
/// unless that thread already has one (a sanitizer's, say), so that a handler
/// for a fatal signal still runs when the fault was the thread running out of
/// its own stack. Made first thing in every thread the program starts, and
/// taken down when it goes; mapped, not allocated, and a failure leaves the
/// thread as it was.
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
/// so that their handlers never run beside the entry thread's own work on
/// another thread. Set once at entry, before any thread starts.
void answer_on_entry_thread_only(const sigset_t& signals);

/// Held while a thread is started: the new thread inherits the mask it is made
/// with, so it starts with the signals the entry thread alone answers blocked.
/// The starting thread has its own mask back once this is gone.
class NewThreadMask {
  public:
    NewThreadMask() noexcept;
    ~NewThreadMask();
    NewThreadMask(const NewThreadMask&) = delete;
    NewThreadMask& operator=(const NewThreadMask&) = delete;

  private:
    sigset_t saved_;
};

}  // namespace pacpick::rt
