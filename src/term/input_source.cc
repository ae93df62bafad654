#include "term/input_source.h"

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

namespace pacpick::term {

namespace {

constexpr uint64_t kTerminalToken = rt::EpollSet::kWoken + 1;

}  // namespace

bool InputSource::is_wake_interruption(const Error& error) {
    return !error.is_os() && error.kind() == ErrorKind::Interrupted;
}

Result<std::unique_ptr<InputSource>> InputSource::create(TerminalHandle terminal,
                                                         SizeQuery size_query) {
    auto epoll = rt::EpollSet::create();
    if (!epoll) {
        return std::move(epoll).error();
    }
    if (auto watched = epoll->control(EPOLL_CTL_ADD, terminal.fd(), EPOLLIN, kTerminalToken);
        !watched) {
        return std::move(watched).error();
    }
    std::unique_ptr<InputSource> source(
        new InputSource(std::move(terminal), std::move(size_query), std::move(*epoll)));
    // What came before this source is not news for it.
    source->resizes_seen_ = rt::signal_count(SIGWINCH);
    source->resized_.wake_on_notice(rt::WakeLatch::waker(source->epoll_.latch()));
    return source;
}

InputSource::InputSource(TerminalHandle terminal, SizeQuery size_query, rt::EpollSet epoll)
    : terminal_(std::move(terminal)),
      size_query_(std::move(size_query)),
      epoll_(std::move(epoll)) {}

Result<std::optional<DecodedItem>> InputSource::read_item(Timeout timeout) {
    const auto deadline =
        std::chrono::steady_clock::now() + timeout.value_or(std::chrono::milliseconds(0));
    for (;;) {
        if (auto item = decoder_.next_item()) {
            return item;
        }
        if (auto resize = take_resize(); !resize || *resize) {
            return resize;
        }
        if (terminal_lost_) {
            return *terminal_lost_;
        }
        std::array<epoll_event, 2> ready{};
        int left = -1;
        if (timeout) {
            // Rounded up: a wait that ends early would only wait again.
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now())
                                .count();
            left = static_cast<int>(std::clamp<decltype(ms)>(ms, 0, INT_MAX));
        }
        const int count = epoll_.wait(ready, left);
        if (count < 0) {
            if (errno != EINTR) {
                return Error::last_os_error();
            }
            continue;  // a signal; a wake shows as its latch's readiness
        }
        if (count == 0) {
            return std::optional<DecodedItem>();
        }
        bool woken = false;
        for (int i = 0; i < count && !woken; ++i) {
            if (ready[i].data.u64 == rt::EpollSet::kWoken) {
                woken = true;
            } else if (auto item = read_terminal()) {
                return item;
            }
        }
        // The latch is set by the owner, or by a window-size signal's notice,
        // which the next turn makes a Resize of.
        if (woken && rt::signal_count(SIGWINCH) == resizes_seen_) {
            return Error::custom(ErrorKind::Interrupted, "input wait interrupted");
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
        if (n == 1) {
            decoder_.feed(std::string_view(&byte, 1), true);
            if (auto item = decoder_.next_item()) {
                return item;
            }
            if (terminal_has_input()) {
                continue;
            }
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno != EAGAIN) {
            // End of input or a broken terminal: no key will come from it again.
            // Waiting on regardless would leave the program deaf, holding a raw
            // terminal its user cannot take back from the keyboard.
            terminal_lost_ = n == 0 ? Error::custom(ErrorKind::Other, "end of terminal input")
                                    : Error::last_os_error();
            // A hung-up terminal stays readable for good: unwatched, it cannot
            // wake a wait again and again.
            (void)epoll_.control(EPOLL_CTL_DEL, terminal_.fd(), 0, 0);
        }
        decoder_.input_paused();  // an ESC alone is the Esc key
        return decoder_.next_item();
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

Result<std::optional<DecodedItem>> InputSource::take_resize() {
    // Several signals before we looked are one change, hence one Resize.
    const uint64_t resizes = rt::signal_count(SIGWINCH);
    if (resizes == resizes_seen_) {
        return std::optional<DecodedItem>();
    }
    resizes_seen_ = resizes;
    auto size = size_query_();
    if (!size) {
        return std::move(size).error();
    }
    return std::optional<DecodedItem>(TerminalEvent(*size));
}

}  // namespace pacpick::term
