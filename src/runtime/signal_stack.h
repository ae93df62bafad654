#pragma once

namespace pacpick::rt {

/// Gives the calling thread an alternate stack for signal handlers unless it
/// already has one (a sanitizer's, say), so that a handler for a fatal signal
/// still runs when the fault was this thread running out of its own stack. The
/// stack is mapped, not allocated, and goes when the thread ends; a failure
/// leaves the thread as it was. Every thread the program starts calls it first.
void use_alternate_signal_stack() noexcept;

}  // namespace pacpick::rt
