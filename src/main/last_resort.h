#pragma once

#include <signal.h>

#include <optional>

namespace pacpick {

/// The last line of defence for the terminal: whatever escapes every other
/// way out, an uncaught exception (`std::terminate`) or any signal whose
/// default action ends the process (a crash, or a signal from outside such as
/// SIGINT or SIGUSR1), first puts the terminal's saved attributes back and
/// shows the cursor, with async-signal-safe calls only and on an alternate
/// stack, and then ends the process as it would have ended anyway: by the same
/// signal with its default action, core dump included. A signal the program
/// was started with ignored stays ignored. Installed once at start; a handler
/// that cannot be installed is done without.
void install_last_resort();

/// Installs `action` for `signal_number` unless the program was started with
/// the signal ignored (as `nohup` leaves SIGHUP): looked at first, since a
/// handler put over it even for a moment could catch what the user asked to
/// be immune to. Answers the action replaced, or nothing when left alone.
std::optional<struct sigaction> catch_unless_ignored(int signal_number,
                                                     const struct sigaction& action);

}  // namespace pacpick
