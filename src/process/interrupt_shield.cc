#include "process/interrupt_shield.h"

#include <mutex>

namespace pacpick::process {

namespace {

/// Held shared while a child is started and alone while a shield changes the
/// dispositions: a child is never started between a disposition turning to
/// "ignore" and the shield's mark that it must get the default back.
std::shared_mutex& shield_change() {
    static std::shared_mutex mutex;
    return mutex;
}

/// Bit per signal number the shield ignores for the program's own sake.
/// Guarded by `shield_change`.
unsigned g_shielded = 0;

unsigned bit(int signal_number) {
    return 1u << signal_number;
}

/// Ignores `signal_number`, keeping what it was; a signal the program was
/// started with ignored stays ignored in children too.
void ignore(int signal_number, struct sigaction& saved) {
    sigaction(signal_number, nullptr, &saved);
    if (saved.sa_handler != SIG_IGN) {
        g_shielded |= bit(signal_number);
    }
    struct sigaction ignore_action {};
    ignore_action.sa_handler = SIG_IGN;
    sigemptyset(&ignore_action.sa_mask);
    sigaction(signal_number, &ignore_action, nullptr);
}

}  // namespace

InterruptShield::InterruptShield() {
    std::unique_lock change(shield_change());
    ignore(SIGINT, saved_int_);
    ignore(SIGQUIT, saved_quit_);
}

InterruptShield::~InterruptShield() {
    std::unique_lock change(shield_change());
    sigaction(SIGINT, &saved_int_, nullptr);
    sigaction(SIGQUIT, &saved_quit_, nullptr);
    g_shielded = 0;
}

ChildSignalDefaults::ChildSignalDefaults() : lock_(shield_change()) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGPIPE);
    for (int signal_number : {SIGINT, SIGQUIT}) {
        if ((g_shielded & bit(signal_number)) != 0) {
            sigaddset(&signals_, signal_number);
        }
    }
}

}  // namespace pacpick::process
