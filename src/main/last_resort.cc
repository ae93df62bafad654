#include "main/last_resort.h"

#include <signal.h>

#include <cstdlib>
#include <exception>

#include "main/signal_watch.h"
#include "runtime/signal_stack.h"
#include "screen/screen_guard.h"

namespace pacpick {

namespace {

// Every signal whose default action ends the process, but SIGKILL, which
// cannot be caught, and SIGPIPE, which the program ignores; the real-time
// signals are added at installation.
constexpr int kFatalSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                 SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                                 SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};

std::terminate_handler g_previous_terminate = nullptr;

void on_fatal_signal(int signal_number) {
    screen::give_back_terminal_from_handler();
    // The alarm a termination signal set: the main task did not end the
    // program in time, so it ends now by that signal.
    if (const int pending = termination_pending(); signal_number == SIGALRM && pending != 0) {
        die_by(pending);
    }
    // The action is the default again (SA_RESETHAND): the signal raised here
    // is delivered as soon as the handler returns, and a fault that raised it
    // happens again, so the process ends by it either way.
    raise(signal_number);
}

[[noreturn]] void on_terminate() {
    screen::give_back_terminal_from_handler();
    // The standard library's handler says what was thrown, now on a terminal
    // that shows it, and aborts.
    if (g_previous_terminate != nullptr) {
        g_previous_terminate();
    }
    std::abort();
}

}  // namespace

std::optional<struct sigaction> catch_unless_ignored(int signal_number,
                                                     const struct sigaction& action) {
    struct sigaction found {};
    if (sigaction(signal_number, nullptr, &found) != 0 || found.sa_handler == SIG_IGN) {
        return std::nullopt;
    }
    sigaction(signal_number, &action, nullptr);
    return found;
}

void install_last_resort() {
    static const rt::AlternateSignalStack main_thread_stack;  // for the rest of the process
    g_previous_terminate = std::set_terminate(on_terminate);
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : kFatalSignals) {
        catch_unless_ignored(signal_number, action);
    }
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        catch_unless_ignored(signal_number, action);
    }
}

}  // namespace pacpick
