#pragma once

#include <signal.h>

#include <cerrno>
#include <cstddef>
#include <new>
#include <system_error>
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

/// Starts a thread of the program's own, running `body` on its alternate
/// signal stack, with the signals the entry thread alone answers blocked from
/// its first instruction. A thread that cannot be had (a limit reached,
/// memory short) is an error, not an exception.
template <typename Body>
Result<std::thread> start_thread(Body body) {
    const NewThreadMask mask;
    try {
        return std::thread([body = std::move(body)]() mutable {
            const AlternateSignalStack signal_stack;
            body();
        });
    } catch (const std::system_error& e) {
        return Error::os(e.code().value());
    } catch (const std::bad_alloc&) {
        return Error::os(ENOMEM);
    }
}

}  // namespace pacpick::rt
