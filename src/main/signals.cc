#include "main/signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "runtime/signal_stack.h"
#include "screen/screen_guard.h"
#include "term/raw_mode.h"

namespace pacpick {

namespace {

// The first termination signal, or 0; the process lives on with one only
// while a command runs.
std::atomic<int> g_terminating{0};
// Raised while a foreground command has the terminal.
std::atomic<bool> g_command_runs{false};
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

/// Ends the process by `signal_number` with its default action, core dump
/// included. Async-signal-safe.
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

void on_termination(int signal_number) {
    int none = 0;
    g_terminating.compare_exchange_strong(none, signal_number);
    // Looked at after the signal is recorded, while the main task raises the
    // flag before it looks for a recorded signal: either it sees this one
    // before the command starts, or this sees the command.
    if (g_command_runs.load()) {
        rt::notice_signal(signal_number);  // the main task passes it on
        return;
    }
    // Not left to the main task: a terminal that reads nothing may hold it.
    screen::give_back_terminal_from_handler();
    die_by(signal_number);
}

void on_last_resort(int signal_number) {
    screen::give_back_terminal_from_handler();
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
void on_continue(int signal_number);

/// What the program does when a signal comes.
enum class Policy {
    ChildEnded,     // default until the first wait that needs it, then heard (not on a
                    // child's stop): wakes the SIGCHLD route and runs the orphan pass
    Resized,        // heard: the input side makes a Resize event
    Continued,      // heard: the loop takes the terminal again and redraws; in the
                    // foreground, terminations get their handler back
    Terminate,      // the terminal is given back and the process dies by the signal at
                    // once; while a foreground command runs, the main task passes it on,
                    // waits for the command and then dies by it (ForegroundCommand)
    StopAndRetake,  // the terminal is given back and the process stops by the signal;
                    // once continued, heard as Continued
    LastResort,     // the handler gives the terminal back, the process dies by the signal
    Ignored,        // writes to a closed pipe fail with EPIPE instead
};

struct SignalPolicy {
    int signal_number;
    Policy policy;
    // Handled even if the parent left it ignored: the program needs it for
    // itself, or (the faults) the kernel makes it fatal even when ignored.
    bool whatever_the_parent_left = false;
};

// Every signal the program handles. The real-time signals, numbered at run
// time, are LastResort too. Not here: SIGKILL and SIGSTOP, which cannot be
// caught, and SIGURG, whose default is to be ignored.
//
// What a command starts with: no signal blocked, every handled signal at its
// default action (exec does that), SIGPIPE at its default too, and SIGINT and
// SIGQUIT, which the program ignores while a foreground command runs, at
// theirs (process/spawn.cc, process/interrupt_shield.h). What the parent left
// ignored stays ignored for the command as for the program.
constexpr SignalPolicy kPolicies[] = {
    {SIGCHLD, Policy::ChildEnded, true}, {SIGWINCH, Policy::Resized, true},
    {SIGCONT, Policy::Continued, true},  {SIGTERM, Policy::Terminate},
    {SIGHUP, Policy::Terminate},         {SIGTSTP, Policy::StopAndRetake},
    {SIGTTIN, Policy::StopAndRetake},    {SIGTTOU, Policy::StopAndRetake},
    {SIGINT, Policy::LastResort},        {SIGQUIT, Policy::LastResort},
    {SIGILL, Policy::LastResort, true},  {SIGTRAP, Policy::LastResort, true},
    {SIGABRT, Policy::LastResort, true}, {SIGBUS, Policy::LastResort, true},
    {SIGFPE, Policy::LastResort, true},  {SIGSEGV, Policy::LastResort, true},
    {SIGSYS, Policy::LastResort, true},  {SIGUSR1, Policy::LastResort},
    {SIGUSR2, Policy::LastResort},       {SIGALRM, Policy::LastResort},
    {SIGSTKFLT, Policy::LastResort},     {SIGXCPU, Policy::LastResort},
    {SIGXFSZ, Policy::LastResort},       {SIGVTALRM, Policy::LastResort},
    {SIGPROF, Policy::LastResort},       {SIGIO, Policy::LastResort},
    {SIGPWR, Policy::LastResort},        {SIGPIPE, Policy::Ignored},
};

struct sigaction action_of(Policy policy) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    switch (policy) {
        case Policy::ChildEnded:
            action.sa_handler = rt::notice_signal;
            action.sa_flags |= SA_NOCLDSTOP;
            break;
        case Policy::Resized:
            action.sa_handler = rt::notice_signal;
            break;
        case Policy::Continued:
            action.sa_handler = on_continue;
            break;
        case Policy::Terminate:
        case Policy::StopAndRetake:
            action.sa_handler = policy == Policy::Terminate ? on_termination : on_stop;
            // No stop inside either: a process stopped in the middle of its
            // end may never be continued. A termination may come inside a
            // stop's handler, and does, at once, when the stop is continued.
            for (const auto& each : kPolicies) {
                if (each.policy == Policy::StopAndRetake ||
                    (each.policy == policy && policy == Policy::Terminate)) {
                    sigaddset(&action.sa_mask, each.signal_number);
                }
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

/// The termination signal the process is to end by, or 0: one the entry
/// thread has taken, or one that waits for it (blocked on every other thread).
int termination_due() {
    if (const int first = g_terminating.load(); first != 0) {
        return first;
    }
    sigset_t pending;
    sigpending(&pending);
    for (const SignalPolicy& row : kPolicies) {
        if (row.policy == Policy::Terminate && sigismember(&pending, row.signal_number) == 1) {
            return row.signal_number;
        }
    }
    return 0;
}

// The termination signals the program handles, a bit per signal number (one
// the parent left ignored stays so, and is not here).
std::atomic<uint64_t> g_handled_terminations{0};

/// Gives the termination signals the program handles their handler back, or
/// (`handled` false) their default action.
void handle_terminations(bool handled) {
    struct sigaction action = action_of(Policy::Terminate);
    if (!handled) {
        action.sa_handler = SIG_DFL;
    }
    for (const SignalPolicy& row : kPolicies) {
        if (((g_handled_terminations.load() >> row.signal_number) & 1) != 0) {
            sigaction(row.signal_number, &action, nullptr);
        }
    }
}

void on_stop(int signal_number) {
    const int saved_errno = errno;
    screen::give_back_terminal_from_handler();
    if (!g_command_runs.load()) {
        // Stopped, the program holds nothing that a termination would give
        // back, while a handler could be stopped half way by the program's
        // own next stop in the background and never be continued: from here
        // on the default action ends the process at once, stopped or not.
        // One that came before ends it now.
        handle_terminations(false);
        if (const int due = termination_due(); due != 0) {
            die_by(due);
        }
    }
    // Stopped by the default action, so the shell sees which signal it was.
    raise_by_default_action(signal_number);
    const struct sigaction again = action_of(Policy::StopAndRetake);
    sigaction(signal_number, &again, nullptr);
    // Continued, or never stopped: in a process group no shell looks after,
    // the kernel ignores a stop. Either way as after a continue.
    on_continue(SIGCONT);
    errno = saved_errno;
}

void on_continue(int signal_number) {
    const int saved_errno = errno;
    // In the foreground the loop takes the terminal again, and a termination
    // has it to give back; in the background the program stops again first.
    if (!g_command_runs.load() && term::in_foreground_from_handler()) {
        handle_terminations(true);
    }
    rt::notice_signal(signal_number);
    errno = saved_errno;
}

void put_under(const SignalPolicy& row) {
    const struct sigaction action = action_of(row.policy);
    if (row.policy == Policy::ChildEnded) {
        // Its default keeps every child's status; handled, every child's end
        // would interrupt a thread, so the handler waits for the first wait
        // that needs it (the signal route, the first orphan).
        signal(row.signal_number, SIG_DFL);
        rt::notice_from_first_listener(row.signal_number, action);
        return;
    }
    struct sigaction found {};
    if (!row.whatever_the_parent_left &&
        (sigaction(row.signal_number, nullptr, &found) != 0 || found.sa_handler == SIG_IGN)) {
        // Looked at first: a handler put over it even for a moment could
        // catch what the user asked to be immune to.
        return;
    }
    sigaction(row.signal_number, &action, nullptr);
    if (row.policy == Policy::Terminate) {
        g_handled_terminations.fetch_or(uint64_t{1} << row.signal_number);
    }
}

}  // namespace

void take_charge_of_signals() {
    static const rt::AlternateSignalStack main_thread_stack;  // for the rest of the process
    g_previous_terminate = std::set_terminate(on_terminate);
    // A termination's handler may end the process: on the entry thread alone,
    // whose own work (taking the terminal in the background) is what stops
    // the process, it never finds the process stopped under it by that work.
    sigset_t terminations;
    sigemptyset(&terminations);
    for (const SignalPolicy& row : kPolicies) {
        put_under(row);
        if (row.policy == Policy::Terminate) {
            sigaddset(&terminations, row.signal_number);
        }
    }
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        put_under({signal_number, Policy::LastResort});
    }
    rt::answer_on_entry_thread_only(terminations);
    // Last, so that what was pending meets the handlers; threads started later
    // inherit the empty mask.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

HeardSignals::HeardSignals(std::initializer_list<int> signals) : listener_(signals) {
    for (const int signal_number : signals) {
        if (count_ < kMost) {
            signals_[count_] = signal_number;
            seen_[count_++] = rt::signal_count(signal_number);
        }
    }
}

rt::Poll<int> HeardSignals::poll(const rt::Waker& waker) {
    // Listen, then look: a signal counted after the look wakes the task.
    listener_.wake_on_notice(waker);
    for (size_t i = 0; i < count_; ++i) {
        if (const uint64_t count = rt::signal_count(signals_[i]); count != seen_[i]) {
            seen_[i] = count;
            return signals_[i];
        }
    }
    return rt::Poll<int>::pending();
}

ForegroundCommand::ForegroundCommand() {
    g_command_runs.store(true);
    end_if_terminated();
}

ForegroundCommand::~ForegroundCommand() {
    // Before the flag is lowered: a termination from here on ends the program
    // at once, with nothing left to give back.
    term::put_back_attributes_found_at_start();
    g_command_runs.store(false);
    end_if_terminated();
}

}  // namespace pacpick
