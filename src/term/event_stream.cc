#include "term/event_stream.h"

#include "runtime/signal_stack.h"

namespace pacpick::term {

Result<std::unique_ptr<TerminalEventStream>> TerminalEventStream::create(
    std::shared_ptr<EventReader> reader) {
    if (!reader) {
        return Error::custom(ErrorKind::Other, "Failed to initialize input reader");
    }
    // Made whole before the thread starts: a thread left running by a failure
    // after it (an allocation) would read the terminal for nobody.
    std::unique_ptr<TerminalEventStream> stream(new TerminalEventStream(std::move(reader)));
    auto thread = rt::start_thread([serving = stream.get()] { serving->serve_requests(); });
    if (!thread) {
        return std::move(thread).error();
    }
    stream->thread_ = std::move(*thread);
    return stream;
}

TerminalEventStream::TerminalEventStream(std::shared_ptr<EventReader> reader)
    : reader_(std::move(reader)), wake_(reader_->wake_latch()) {}

TerminalEventStream::~TerminalEventStream() {
    stop_requested_.store(true);
    // Without the wake a blocked wait would end only at the next key, and the
    // join below with it.
    wake_->set();
    {
        std::lock_guard lock(request_mutex_);
        closed_ = true;
    }
    request_changed_.notify_one();
    // The terminal goes back to the user (and to sudo) right after this: the
    // thread must have stopped reading it, not merely been asked to.
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TerminalEventStream::serve_requests() {
    for (;;) {
        std::optional<rt::Waker> waker;
        {
            std::unique_lock lock(request_mutex_);
            request_changed_.wait(lock, [this] { return request_ || closed_; });
            // A request sent just before the close is still served: its waker
            // is woken once the wait has given up, so the poll that sent it
            // learns of it.
            if (!request_) {
                return;
            }
            waker = std::exchange(request_, std::nullopt);
        }
        for (;;) {
            auto lock = reader_->lock();
            auto found = reader_->wait_for_event(lock, std::nullopt);
            lock.unlock();
            // An error ends the request too rather than being retried here:
            // a lasting one would keep failing at once and make this loop
            // spin. The main task's next poll meets it again if it lasts,
            // and gives up.
            if (!found.ok() || *found || stop_requested_.load()) {
                break;
            }
        }
        wait_in_progress_.store(false);
        waker->wake();
    }
}

rt::Poll<Result<TerminalEvent>> TerminalEventStream::poll_event(const rt::Waker& waker) {
    // While a request is with the thread, the thread alone reads the terminal.
    // A key served here meanwhile would leave the thread to wait, after taking
    // the lock, for a request nobody needs any more: once the loop is over it
    // would read what the user types at the command's prompt.
    if (wait_in_progress_.load()) {
        return rt::Poll<Result<TerminalEvent>>::pending();
    }
    // Never wait for the lock: the thread holds it only while serving a request.
    if (auto lock = reader_->try_lock(); lock.owns_lock()) {
        auto ready = reader_->wait_for_event(lock, std::chrono::milliseconds(0));
        if (!ready) {
            return Result<TerminalEvent>(std::move(ready).error());
        }
        if (*ready) {
            return Result<TerminalEvent>(reader_->take_event(lock));
        }
    }
    bool idle = false;
    if (wait_in_progress_.compare_exchange_strong(idle, true)) {
        stop_requested_.store(false);
        std::lock_guard lock(request_mutex_);
        request_ = waker;
        request_changed_.notify_one();
    }
    return rt::Poll<Result<TerminalEvent>>::pending();
}

}  // namespace pacpick::term
