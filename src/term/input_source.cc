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

}  // namespace

/// The handler's side of one source: a flag the window-size handler sets and a
/// self-pipe it sends one byte to. A slot is claimed by a source and given back
/// when the source goes, but it is never freed (and its pipe is never closed),
/// so a handler running on another thread at that moment cannot touch freed
/// memory. Only the one source of the program and a few in tests ever exist,
/// so a handful suffice.
struct SignalSlot {
    std::atomic<bool> claimed{false};
    std::atomic<bool> active{false};  // the handler delivers to it
    std::atomic<const rt::SignalPipe*> pipe{nullptr};
    std::atomic<bool> resized{false};
};

namespace {

std::array<SignalSlot, 8> g_signal_slots;

void on_window_size_signal(int) {
    for (SignalSlot& slot : g_signal_slots) {
        if (!slot.active.load()) {
            continue;
        }
        slot.resized.store(true);
        if (const rt::SignalPipe* pipe = slot.pipe.load()) {
            pipe->notify();
        }
    }
}

/// Installed by the first source, for the rest of the process.
Result<void> install_window_size_handler() {
    static const Result<void> installed = []() -> Result<void> {
        struct sigaction action {};
        action.sa_handler = on_window_size_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGWINCH, &action, nullptr) != 0) {
            return Error::last_os_error();
        }
        return {};
    }();
    return installed;
}

Result<SignalSlot*> claim_signal_slot() {
    for (SignalSlot& slot : g_signal_slots) {
        bool expected = false;
        if (!slot.claimed.compare_exchange_strong(expected, true)) {
            continue;
        }
        if (slot.pipe.load() == nullptr) {
            auto pipe = rt::SignalPipe::create();
            if (!pipe) {
                slot.claimed.store(false);
                return std::move(pipe).error();
            }
            slot.pipe.store(*pipe);
        }
        // Whatever an earlier owner left behind is not news for this one.
        slot.pipe.load()->drain();
        slot.resized.store(false);
        slot.active.store(true);
        return &slot;
    }
    return Error::custom(ErrorKind::Other, "too many terminal input sources");
}

void release_signal_slot(SignalSlot* slot) {
    slot->active.store(false);
    slot->claimed.store(false);
}

Result<void> watch(int epoll_fd, int fd, uint64_t token) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = token;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) {
        return Error::last_os_error();
    }
    return {};
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
    const int epoll_fd = source->epoll_.get();
    if (auto r = watch(epoll_fd, source->terminal_.fd(), kTerminalToken); !r) {
        return std::move(r).error();
    }

    auto slot = claim_signal_slot();
    if (!slot) {
        return std::move(slot).error();
    }
    source->signals_ = *slot;
    if (auto r = install_window_size_handler(); !r) {
        return std::move(r).error();
    }
    if (auto r = watch(epoll_fd, source->signals_->pipe.load()->read_fd(), kSignalToken); !r) {
        return std::move(r).error();
    }

    auto wake = rt::WakeLatch::create();
    if (!wake) {
        return std::move(wake).error();
    }
    source->wake_ = std::move(wake).value();
    if (auto r = watch(epoll_fd, source->wake_->fd(), kWakeToken); !r) {
        return std::move(r).error();
    }
    return source;
}

InputSource::InputSource(TerminalHandle terminal, SizeQuery size_query, RawModeQuery raw_mode)
    : terminal_(std::move(terminal)), size_query_(std::move(size_query)), decoder_(raw_mode) {}

InputSource::~InputSource() {
    if (signals_ != nullptr) {
        release_signal_slot(signals_);
    }
}

Result<std::optional<DecodedItem>> InputSource::read_item(Timeout timeout) {
    if (auto item = decoder_.next_item()) {
        return item;
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
            return std::optional<DecodedItem>();
        }
        for (int i = 0; i < count; ++i) {
            switch (ready[i].data.u64) {
                case kTerminalToken:
                    if (auto item = read_terminal()) {
                        return item;
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
                        return std::optional<DecodedItem>(TerminalEvent(**resize));
                    }
                    break;
                }
                case kWakeToken:
                    wake_->take();
                    return interrupted();
            }
        }
        if (timeout && std::chrono::steady_clock::now() >= deadline) {
            return std::optional<DecodedItem>();
        }
    }
}

std::optional<DecodedItem> InputSource::read_terminal() {
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
            return decoder_.next_item();
        }
        if (n <= 0) {
            // End of input or a broken terminal: no key will come from it again.
            // Waiting on regardless would leave the program deaf, holding a raw
            // terminal its user cannot take back from the keyboard.
            lose_terminal(n == 0 ? Error::custom(ErrorKind::Other, "end of terminal input")
                                 : Error::last_os_error());
            decoder_.input_paused();
            return decoder_.next_item();
        }
        decoder_.feed(std::string_view(&byte, 1), true);
        if (auto item = decoder_.next_item()) {
            return item;
        }
        if (!terminal_has_input()) {
            decoder_.input_paused();  // an ESC alone is the Esc key
            return decoder_.next_item();
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
    signals_->pipe.load()->drain();
    // Several signals before we looked are one flag, hence one Resize.
    if (!signals_->resized.exchange(false)) {
        return std::optional<Resize>();
    }
    auto size = size_query_();
    if (!size) {
        return std::move(size).error();
    }
    return std::optional<Resize>(*size);
}

}  // namespace pacpick::term
