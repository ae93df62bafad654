#include "main/signal_watch.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

#include "main/last_resort.h"
#include "screen/screen_guard.h"

namespace pacpick {

namespace {

// How long the main task has to give the terminal back after a termination
// signal before the process ends without it.
constexpr unsigned kGraceSeconds = 1;

// Made by the first watch and kept for every later one and for the rest of
// the process: a handler may still be running on another thread when a watch
// is removed, and then writes into this pipe, never into a closed descriptor.
std::atomic<const rt::SignalPipe*> g_pipe{nullptr};
std::atomic<int> g_arrived{0};  // the first termination signal that arrived, or 0
std::atomic<bool> g_continued{false};
std::atomic<bool> g_installed{false};

/// Acts on `signal_number` as if no handler had been installed for it.
void raise_by_default_action(int signal_number) {
    signal(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
}

void notify() {
    if (const rt::SignalPipe* pipe = g_pipe.load()) {
        pipe->notify();
    }
}

void on_termination_signal(int signal_number) {
    int first = 0;
    if (!g_arrived.compare_exchange_strong(first, signal_number)) {
        // The first has not ended the program: a write to a terminal that
        // reads nothing may hold the main task for good.
        screen::give_back_terminal_from_handler();
        die_by(first);
    }
    // Should the main task still not have ended the program by then, the
    // alarm's handler (the last resort) ends it by this signal.
    alarm(kGraceSeconds);
    notify();
}

void on_stop_signal(int signal_number);
void on_continue_signal(int) {
    g_continued.store(true);
    notify();
}

struct Watched {
    int signal_number;
    void (*handler)(int);
};
constexpr Watched kWatched[] = {
    {SIGTERM, on_termination_signal}, {SIGHUP, on_termination_signal},
    {SIGTSTP, on_stop_signal},        {SIGTTIN, on_stop_signal},
    {SIGTTOU, on_stop_signal},        {SIGCONT, on_continue_signal},
};

struct sigaction action_of(const Watched& watched) {
    struct sigaction action {};
    action.sa_handler = watched.handler;
    action.sa_flags = SA_RESTART;
    // One handler at a time: a stop's handler is not run again inside its own.
    sigemptyset(&action.sa_mask);
    for (const Watched& each : kWatched) {
        sigaddset(&action.sa_mask, each.signal_number);
    }
    return action;
}

void on_stop_signal(int signal_number) {
    const int saved_errno = errno;
    screen::give_back_terminal_from_handler();
    // Stopped by the default action, so the shell sees which signal it was.
    raise_by_default_action(signal_number);
    // Continued, or never stopped: in a process group no shell looks after,
    // the kernel ignores a stop. Either way the loop takes the terminal again.
    if (g_installed.load()) {
        const struct sigaction again = action_of({signal_number, on_stop_signal});
        sigaction(signal_number, &again, nullptr);
    }
    on_continue_signal(SIGCONT);
    errno = saved_errno;
}

}  // namespace

Result<std::unique_ptr<SignalWatch>> SignalWatch::install() {
    static const Result<const rt::SignalPipe*> pipe = rt::SignalPipe::create();
    if (!pipe) {
        return pipe.error();
    }
    g_pipe.store(*pipe);
    auto watched = (*pipe)->watch();
    if (!watched) {
        return std::move(watched).error();
    }
    std::unique_ptr<SignalWatch> watch(new SignalWatch(**pipe, std::move(watched).value()));
    watch->replaced_.reserve(std::size(kWatched));
    (*pipe)->drain();  // what came for an earlier watch is not news for this one
    g_arrived.store(0);
    g_continued.store(false);
    g_installed.store(true);
    for (const Watched& each : kWatched) {
        if (auto found = catch_unless_ignored(each.signal_number, action_of(each))) {
            watch->replaced_.emplace_back(each.signal_number, *found);
        }
    }
    return watch;
}

SignalWatch::~SignalWatch() {
    remove();
}

int SignalWatch::remove() {
    g_installed.store(false);
    alarm(0);
    for (const auto& [signal_number, found] : replaced_) {
        sigaction(signal_number, &found, nullptr);
    }
    replaced_.clear();
    // A handler already running on another thread may still record its
    // signal after this; its alarm then ends the process by it a second
    // later, as the signal's default action would have at once.
    return g_arrived.load();
}

rt::Poll<int> SignalWatch::poll_signal(const rt::Waker& waker) {
    // Look, then wait for the pipe, then look again: a signal that arrives in
    // between has already written its byte, so its readiness is not missed.
    for (;;) {
        if (const int arrived = g_arrived.load(); arrived != 0) {
            return arrived;
        }
        if (g_continued.exchange(false)) {
            return SIGCONT;
        }
        auto ready = watched_.poll_ready(waker);
        if (!ready.ready()) {
            return rt::Poll<int>::pending();
        }
        pipe_.drain();
        if (!ready.take().ok()) {
            // The pipe cannot be watched; the flags are still looked at
            // whenever the loop wakes for anything else.
            return rt::Poll<int>::pending();
        }
    }
}

int termination_pending() {
    return g_arrived.load();
}

[[noreturn]] void die_by(int signal_number) {
    raise_by_default_action(signal_number);
    // Unreachable with the default action; end anyway rather than return.
    _exit(128 + signal_number);
}

}  // namespace pacpick
