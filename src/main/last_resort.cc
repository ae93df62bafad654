#include "main/last_resort.h"

#include <signal.h>

#include <cstdlib>
#include <exception>

#include "runtime/signal_stack.h"
#include "screen/screen_guard.h"

namespace pacpick {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

std::terminate_handler g_previous_terminate = nullptr;

void on_fatal_signal(int signal_number) {
    screen::give_back_terminal_in_emergency();
    // The action is the default again (SA_RESETHAND): the signal raised here
    // is delivered as soon as the handler returns, and a fault that raised it
    // happens again, so the process ends by it either way.
    raise(signal_number);
}

[[noreturn]] void on_terminate() {
    screen::give_back_terminal_in_emergency();
    // The standard library's handler says what was thrown, now on a terminal
    // that shows it, and aborts.
    if (g_previous_terminate != nullptr) {
        g_previous_terminate();
    }
    std::abort();
}

}  // namespace

void install_last_resort() {
    static const rt::AlternateSignalStack main_thread_stack;  // for the rest of the process
    g_previous_terminate = std::set_terminate(on_terminate);
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : kFatalSignals) {
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace pacpick
