#pragma once

#include <signal.h>

#include "runtime/signal_notice.h"

namespace pacpick::testing {

/// Has `signal_number` heard the way the program's entry has it heard: the
/// handler only counts it and wakes the reactor.
inline bool hear(int signal_number) {
    struct sigaction action {};
    action.sa_handler = rt::notice_signal;
    action.sa_flags = SA_RESTART | (signal_number == SIGCHLD ? SA_NOCLDSTOP : 0);
    sigemptyset(&action.sa_mask);
    return sigaction(signal_number, &action, nullptr) == 0;
}

}  // namespace pacpick::testing
