#pragma once

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

}  // namespace pacpick::rt
