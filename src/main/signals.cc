#include "main/signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "runtime/signal_stack.h"
#include "screen/screen_guard.h"

namespace pacpick {

namespace {

// How long the main task has to give the terminal back after a termination
// signal before the process ends without it.
constexpr unsigned kGraceSeconds = 1;

std::atomic<int> g_terminating{0};  // the first termination signal, or 0
std::terminate_handler g_previous_terminate = nullptr;

/// Acts on `signal_number` as if no handler had been installed for it.
void raise_by_default_action(int signal_number) {
    signal(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
}

void on_termination(int signal_number) {
    const bool held = screen::terminal_held();
    int first = 0;
    if (!g_terminating.compare_exchange_strong(first, signal_number) && held) {
        // The first has not ended the program: a write to a terminal that
        // reads nothing may hold the main task for good.
        screen::give_back_terminal_from_handler();
        die_by(first);
    }
    // The main task gives the terminal back and ends by it; should it not have
    // by then, the alarm's handler ends the program. While the command runs,
    // the main task passes the signal on and waits as long as the command does.
    if (held) {
        alarm(kGraceSeconds);
    }
    rt::notice_signal(signal_number);
}

void on_last_resort(int signal_number) {
    screen::give_back_terminal_from_handler();
    // The alarm a termination signal set: the main task did not end the
    // program in time, so it ends now by that signal.
    if (const int first = g_terminating.load(); signal_number == SIGALRM && first != 0) {
        die_by(first);
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

void on_stop(int signal_number);

/// What the program does when a signal comes.
enum class Policy {
    ChildEnded,     // default until the first wait through it, then heard: wakes the SIGCHLD route,
                    // runs the orphan pass
    Resized,        // heard: the input side makes a Resize event
    Continued,      // heard: the loop takes the terminal again and redraws
    EndGracefully,  // the main task gives the terminal back, or passes the signal on
                    // to the command and waits for it, then ends by it
    StopAndRetake,  // the terminal is given back and the process stops by the signal;
                    // once continued, heard as Continued
    LastResort,     // the handler gives the terminal back, the process dies by the signal
    Ignored,        // writes to a closed pipe fail with EPIPE instead
};

struct SignalPolicy {
    int signal_number;
    Policy policy;
};

// Every signal the program handles. The real-time signals, numbered at run
// time, are LastResort too. Not here: SIGKILL and SIGSTOP, which cannot be
// caught, and SIGURG, whose default is to be ignored. Apart: while a command
// runs in the foreground, SIGINT and SIGQUIT are the command's
// (process/interrupt_shield.h).
constexpr SignalPolicy kPolicies[] = {
    {SIGCHLD, Policy::ChildEnded},    {SIGWINCH, Policy::Resized},
    {SIGCONT, Policy::Continued},     {SIGTERM, Policy::EndGracefully},
    {SIGHUP, Policy::EndGracefully},  {SIGTSTP, Policy::StopAndRetake},
    {SIGTTIN, Policy::StopAndRetake}, {SIGTTOU, Policy::StopAndRetake},
    {SIGINT, Policy::LastResort},     {SIGQUIT, Policy::LastResort},
    {SIGILL, Policy::LastResort},     {SIGTRAP, Policy::LastResort},
    {SIGABRT, Policy::LastResort},    {SIGBUS, Policy::LastResort},
    {SIGFPE, Policy::LastResort},     {SIGUSR1, Policy::LastResort},
    {SIGSEGV, Policy::LastResort},    {SIGUSR2, Policy::LastResort},
    {SIGALRM, Policy::LastResort},    {SIGSTKFLT, Policy::LastResort},
    {SIGXCPU, Policy::LastResort},    {SIGXFSZ, Policy::LastResort},
    {SIGVTALRM, Policy::LastResort},  {SIGPROF, Policy::LastResort},
    {SIGIO, Policy::LastResort},      {SIGPWR, Policy::LastResort},
    {SIGSYS, Policy::LastResort},     {SIGPIPE, Policy::Ignored},
};

struct sigaction action_of(Policy policy) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    switch (policy) {
        case Policy::ChildEnded:  // see put_under
        case Policy::Resized:
        case Policy::Continued:
            action.sa_handler = rt::notice_signal;
            break;
        case Policy::EndGracefully:
        case Policy::StopAndRetake:
            action.sa_handler = policy == Policy::EndGracefully ? on_termination : on_stop;
            // One at a time: a stop's handler does not run inside itself.
            for (const int each : {SIGTERM, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT}) {
                sigaddset(&action.sa_mask, each);
            }
            break;
        case Policy::LastResort:
            action.sa_handler = on_last_resort;
            // On the thread's alternate stack, so that a thread that ran out of
            // its own stack still gets there.
            action.sa_flags = SA_ONSTACK | SA_RESETHAND;
            break;
        case Policy::Ignored:
            action.sa_handler = SIG_IGN;
            break;
    }
    return action;
}

void on_stop(int signal_number) {
    const int saved_errno = errno;
    screen::give_back_terminal_from_handler();
    // Stopped by the default action, so the shell sees which signal it was.
    raise_by_default_action(signal_number);
    // Continued, or never stopped: in a process group no shell looks after,
    // the kernel ignores a stop. Either way the loop takes the terminal again.
    const struct sigaction again = action_of(Policy::StopAndRetake);
    sigaction(signal_number, &again, nullptr);
    rt::notice_signal(SIGCONT);
    errno = saved_errno;
}

void put_under(int signal_number, Policy policy) {
    if (policy == Policy::ChildEnded) {
        // Its default keeps every child's status; handled, every child's end
        // would interrupt a thread, so the handler waits for the first wait
        // that needs it (the signal route, the first orphan).
        signal(signal_number, SIG_DFL);
        rt::notice_from_first_listener(signal_number, SA_RESTART | SA_NOCLDSTOP);
        return;
    }
    struct sigaction found {};
    const bool heard_whatever = policy == Policy::Resized;
    if (!heard_whatever &&
        (sigaction(signal_number, nullptr, &found) != 0 || found.sa_handler == SIG_IGN)) {
        // Looked at first: a handler put over it even for a moment could
        // catch what the user asked to be immune to.
        return;
    }
    const struct sigaction action = action_of(policy);
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

void take_charge_of_signals() {
    static const rt::AlternateSignalStack main_thread_stack;  // for the rest of the process
    g_previous_terminate = std::set_terminate(on_terminate);
    for (const auto& [signal_number, policy] : kPolicies) {
        put_under(signal_number, policy);
    }
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        put_under(signal_number, Policy::LastResort);
    }
    // Last, so that what was pending meets the handlers; threads started later
    // inherit the empty mask.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

int termination_signal() {
    return g_terminating.load();
}

[[noreturn]] void die_by(int signal_number) {
    raise_by_default_action(signal_number);
    // Unreachable with the default action; end anyway rather than return.
    _exit(128 + signal_number);
}

void end_if_terminated() {
    if (const int signal_number = g_terminating.load(); signal_number != 0) {
        die_by(signal_number);
    }
}

rt::Poll<int> OutsideSignals::poll_signal(const rt::Waker& waker) {
    // Listen, then look: a signal counted after the look wakes the task.
    listener_.wake_on_notice(waker);
    for (size_t i = 0; i < std::size(kHeard); ++i) {
        if (const uint64_t count = rt::signal_count(kHeard[i]); count != seen_[i]) {
            seen_[i] = count;
            return kHeard[i];
        }
    }
    return rt::Poll<int>::pending();
}

}  // namespace pacpick
