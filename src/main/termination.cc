#include "main/termination.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iterator>

namespace pacpick {

namespace {

constexpr int kWatched[] = {SIGTERM, SIGHUP};

// Made by the first watch and kept for every later one and for the rest of
// the process: a handler may still be running on another thread when a watch
// is removed, and then writes into this pipe, never into a closed descriptor.
std::atomic<const rt::SignalPipe*> g_pipe{nullptr};
std::atomic<int> g_arrived{0};  // the first watched signal that arrived, or 0

void on_termination_signal(int signal_number) {
    int none = 0;
    g_arrived.compare_exchange_strong(none, signal_number);
    if (const rt::SignalPipe* pipe = g_pipe.load()) {
        pipe->notify();
    }
}

}  // namespace

Result<std::unique_ptr<TerminationWatch>> TerminationWatch::install() {
    static const Result<const rt::SignalPipe*> pipe = rt::SignalPipe::create();
    if (!pipe) {
        return pipe.error();
    }
    g_pipe.store(*pipe);
    auto watched = (*pipe)->watch();
    if (!watched) {
        return std::move(watched).error();
    }
    std::unique_ptr<TerminationWatch> watch(
        new TerminationWatch(**pipe, std::move(watched).value()));
    static_assert(std::size(kWatched) == std::tuple_size_v<decltype(watch->found_)>);
    (*pipe)->drain();  // what came for an earlier watch is not news for this one
    g_arrived.store(0);
    struct sigaction action {};
    action.sa_handler = on_termination_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kWatched); ++i) {
        // Look before replacing: a handler put over an ignored signal, even for
        // a moment, could catch the signal the user asked to be immune to.
        struct sigaction found {};
        if (sigaction(kWatched[i], nullptr, &found) != 0) {
            return Error::last_os_error();  // the destructor puts back what was replaced
        }
        if (found.sa_handler == SIG_IGN) {
            continue;
        }
        if (sigaction(kWatched[i], &action, nullptr) != 0) {
            return Error::last_os_error();
        }
        watch->found_[i] = found;
    }
    return watch;
}

TerminationWatch::~TerminationWatch() {
    remove();
}

int TerminationWatch::remove() {
    for (size_t i = 0; i < std::size(kWatched); ++i) {
        if (found_[i]) {
            sigaction(kWatched[i], &*found_[i], nullptr);
            found_[i].reset();
        }
    }
    // Read after the handlers are gone: nothing can arrive unseen any more.
    return g_arrived.load();
}

rt::Poll<int> TerminationWatch::poll_stop(const rt::Waker& waker) {
    // Look, then wait for the pipe, then look again: a signal that arrives in
    // between has already written its byte, so its readiness is not missed.
    for (;;) {
        if (const int arrived = g_arrived.load(); arrived != 0) {
            return arrived;
        }
        auto ready = watched_.poll_ready(waker);
        if (!ready.ready()) {
            return rt::Poll<int>::pending();
        }
        pipe_.drain();
        if (!ready.take().ok()) {
            // The pipe cannot be watched; the flag is still looked at whenever
            // the loop wakes for anything else.
            return rt::Poll<int>::pending();
        }
    }
}

[[noreturn]] void die_by(int signal_number) {
    signal(signal_number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal_number);
    // Unreachable with the default action; end anyway rather than return.
    _exit(128 + signal_number);
}

}  // namespace pacpick
