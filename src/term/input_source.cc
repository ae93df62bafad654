#include "term/input_source.h"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/epoll_wait.h"
#include "runtime/signal_pipe.h"

namespace pacpick::term {

namespace {

constexpr uint64_t kTerminalToken = 0;
constexpr uint64_t kSignalToken = 1;
constexpr uint64_t kWakeToken = 2;

/// The window-size handler's news: a flag and a self-pipe that live as long as
/// the process, so a handler running on another thread at any moment never
/// touches freed memory or a closed descriptor. A program has one source; each
/// source watches the pipe, and the first to look takes the news.
std::atomic<bool> g_resized{false};
std::atomic<const rt::SignalPipe*> g_resize_pipe{nullptr};

void on_window_size_signal(int) {
    g_resized.store(true);
    if (const rt::SignalPipe* pipe = g_resize_pipe.load()) {
        pipe->notify();
    }
}

/// Made, with the handler installed, by the first source, for the rest of the
/// process.
Result<const rt::SignalPipe*> window_size_pipe() {
    static const Result<const rt::SignalPipe*> made = []() -> Result<const rt::SignalPipe*> {
        auto pipe = rt::SignalPipe::create();
        if (!pipe) {
            return std::move(pipe).error();
        }
        g_resize_pipe.store(*pipe);
        struct sigaction action {};
        action.sa_handler = on_window_size_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGWINCH, &action, nullptr) != 0) {
            return Error::last_os_error();
        }
        return *pipe;
    }();
    return made;
}

Error interrupted() {
    return Error::custom(ErrorKind::Interrupted, "input wait interrupted");
}

}  // namespace

bool is_wake_interruption(const Error& error) {
    return !error.is_os() && error.kind() == ErrorKind::Interrupted;
}

Result<std::unique_ptr<InputSource>> InputSource::create(SizeQuery size_query) {
    auto terminal = open_input_terminal();
    if (!terminal) {
        return std::move(terminal).error();
    }
    return create(std::move(*terminal), std::move(size_query));
}

Result<std::unique_ptr<InputSource>> InputSource::create(TerminalHandle terminal,
                                                         SizeQuery size_query,
                                                         RawModeQuery raw_mode) {
    // Members close what was made so far when a later step fails.
    std::unique_ptr<InputSource> source(
        new InputSource(std::move(terminal), std::move(size_query), raw_mode));

    source->epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!source->epoll_.valid()) {
        return Error::last_os_error();
    }
    auto pipe = window_size_pipe();
    if (!pipe) {
        return std::move(pipe).error();
    }
    // What came before this source is not news for it.
    (*pipe)->drain();
    g_resized.store(false);
    auto wake = rt::WakeLatch::create();
    if (!wake) {
        return std::move(wake).error();
    }
    source->wake_ = std::move(wake).value();

    const std::pair<int, uint64_t> watched[] = {
        {source->terminal_.fd(), kTerminalToken},
        {(*pipe)->read_fd(), kSignalToken},
        {source->wake_->fd(), kWakeToken},
    };
    for (const auto& [fd, token] : watched) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = token;
        if (epoll_ctl(source->epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            return Error::last_os_error();
        }
    }
    return source;
}

InputSource::InputSource(TerminalHandle terminal, SizeQuery size_query, RawModeQuery raw_mode)
    : terminal_(std::move(terminal)), size_query_(std::move(size_query)), decoder_(raw_mode) {}

Result<std::optional<TerminalEvent>> InputSource::read_item(Timeout timeout) {
    if (auto event = decoder_.next_event()) {
        // Made afresh: g++ 12 wrongly warns that returning `event` reads
        // uninitialised memory.
        return std::optional<TerminalEvent>(std::move(*event));
    }
    if (terminal_lost_) {
        return *terminal_lost_;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
    for (;;) {
        std::array<epoll_event, 3> ready{};
        std::optional<std::chrono::nanoseconds> left;
        if (timeout) {
            left = std::max(std::chrono::nanoseconds::zero(),
                            std::chrono::duration_cast<std::chrono::nanoseconds>(
                                deadline - std::chrono::steady_clock::now()));
        }
        const int count =
            rt::wait_for_events(epoll_.get(), ready.data(), static_cast<int>(ready.size()), left);
        if (count < 0) {
            if (errno != EINTR) {
                return Error::last_os_error();
            }
            continue;  // a signal; a wake shows as its latch's readiness
        }
        if (count == 0) {
            return std::optional<TerminalEvent>();
        }
        for (int i = 0; i < count; ++i) {
            switch (ready[i].data.u64) {
                case kTerminalToken:
                    if (auto event = read_terminal()) {
                        return event;
                    }
                    if (terminal_lost_) {
                        return *terminal_lost_;
                    }
                    break;
                case kSignalToken: {
                    auto resize = take_signals();
                    if (!resize) {
                        return std::move(resize).error();
                    }
                    if (*resize) {
                        return std::optional<TerminalEvent>(**resize);
                    }
                    break;
                }
                case kWakeToken:
                    wake_->take();
                    return interrupted();
            }
        }
        if (timeout && std::chrono::steady_clock::now() >= deadline) {
            return std::optional<TerminalEvent>();
        }
    }
}

std::optional<TerminalEvent> InputSource::read_terminal() {
    // The descriptor stays blocking (it is shared with the shell and with the
    // programs run after us), so only the first read is known not to block;
    // later ones are made only while the sequence is unfinished and more input
    // is waiting. Reading no further than one item leaves what the user typed
    // after the key that ends the program (a password typed ahead of sudo's
    // prompt) where the command run next finds it.
    for (;;) {
        char byte;
        const ssize_t n = ::read(terminal_.fd(), &byte, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            decoder_.input_paused();
            return decoder_.next_event();
        }
        if (n <= 0) {
            // End of input or a broken terminal: no key will come from it again.
            // Waiting on regardless would leave the program deaf, holding a raw
            // terminal its user cannot take back from the keyboard.
            lose_terminal(n == 0 ? Error::custom(ErrorKind::Other, "end of terminal input")
                                 : Error::last_os_error());
            decoder_.input_paused();
            return decoder_.next_event();
        }
        decoder_.feed(std::string_view(&byte, 1), true);
        if (auto event = decoder_.next_event()) {
            return event;
        }
        if (!terminal_has_input()) {
            decoder_.input_paused();  // an ESC alone is the Esc key
            return decoder_.next_event();
        }
    }
}

bool InputSource::terminal_has_input() const {
    pollfd fd{terminal_.fd(), POLLIN, 0};
    int n;
    do {
        n = ::poll(&fd, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (fd.revents & POLLIN) != 0;
}

void InputSource::lose_terminal(Error why) {
    // A hung-up terminal stays readable for good: unwatched, it cannot wake a
    // wait again and again.
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, terminal_.fd(), nullptr);
    terminal_lost_ = std::move(why);
}

Result<std::optional<Resize>> InputSource::take_signals() {
    g_resize_pipe.load()->drain();
    // Several signals before we looked are one flag, hence one Resize.
    if (!g_resized.exchange(false)) {
        return std::optional<Resize>();
    }
    auto size = size_query_();
    if (!size) {
        return std::move(size).error();
    }
    return std::optional<Resize>(*size);
}

}  // namespace pacpick::term
