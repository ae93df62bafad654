#include "process/interrupt_shield.h"

#include <atomic>

namespace pacpick::process {

namespace {

/// Bit per signal number the shield ignores for the program's own sake; read by
/// every spawn, which may run on any thread.
std::atomic<unsigned> g_shielded{0};

unsigned bit(int signal_number) {
    return 1u << signal_number;
}

/// Ignores `signal_number`, keeping what it was; a signal the program was
/// started with ignored stays ignored in children too.
void ignore(int signal_number, struct sigaction& saved) {
    struct sigaction ignore_action {};
    ignore_action.sa_handler = SIG_IGN;
    sigemptyset(&ignore_action.sa_mask);
    sigaction(signal_number, &ignore_action, &saved);
    if (saved.sa_handler != SIG_IGN) {
        g_shielded.fetch_or(bit(signal_number));
    }
}

}  // namespace

InterruptShield::InterruptShield() {
    ignore(SIGINT, saved_int_);
    ignore(SIGQUIT, saved_quit_);
}

InterruptShield::~InterruptShield() {
    g_shielded.store(0);
    sigaction(SIGINT, &saved_int_, nullptr);
    sigaction(SIGQUIT, &saved_quit_, nullptr);
}

void add_signals_to_reset(sigset_t& set) {
    sigaddset(&set, SIGPIPE);
    const unsigned shielded = g_shielded.load();
    for (int signal_number : {SIGINT, SIGQUIT}) {
        if ((shielded & bit(signal_number)) != 0) {
            sigaddset(&set, signal_number);
        }
    }
}

}  // namespace pacpick::process
