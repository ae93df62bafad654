#pragma once

namespace pacpick {

/// The last line of defence for the terminal: whatever escapes every other
/// way out, an uncaught exception (`std::terminate`) or a fatal signal
/// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), first shows the cursor and puts
/// the terminal's saved attributes back, with async-signal-safe calls only and
/// on an alternate stack, and then ends the process as it would have ended
/// anyway: by the same signal with its default action, core dump included.
/// Installed once at start; a handler that cannot be installed is done without.
void install_last_resort();

}  // namespace pacpick
