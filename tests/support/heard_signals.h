#pragma once

#include <signal.h>

#include "runtime/signal_notice.h"

namespace pacpick::testing {

/// Has `signal_number` heard the way the program's entry has it heard: the
/// handler only counts it and wakes the reactor; SIGCHLD's is installed by its
/// first listener, and until then the action stays the default.
inline bool hear(int signal_number) {
    struct sigaction action {};
    action.sa_handler = rt::notice_signal;
    action.sa_flags = SA_RESTART | (signal_number == SIGCHLD ? SA_NOCLDSTOP : 0);
    sigemptyset(&action.sa_mask);
    if (signal_number == SIGCHLD) {
        signal(SIGCHLD, SIG_DFL);
        rt::notice_from_first_listener(SIGCHLD, action);
        return true;
    }
    return sigaction(signal_number, &action, nullptr) == 0;
}

}  // namespace pacpick::testing
