#include "term/event_stream.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>

#include "runtime/signal_stack.h"

namespace pacpick::term {

namespace detail {

/// A request to the input wait thread: wait for an event on the main task's
/// behalf, then wake it.
struct WaitRequest {
    rt::Waker waker;
};

/// A channel with room for one request. Sending waits for room, receiving for a
/// request; once closed, a send is dropped and a receive takes what is left. At most one request is
/// outstanding (see `wait_in_progress`), so a send never actually waits.
class RequestChannel {
  public:
    void send(WaitRequest request) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !slot_ || closed_; });
        if (closed_) {
            return;
        }
        slot_ = std::move(request);
        changed_.notify_all();
    }
    std::optional<WaitRequest> receive() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return slot_ || closed_; });
        // A request sent just before the close is still served: its waker is
        // woken once the wait has given up, so the poll that sent it learns of it.
        std::optional<WaitRequest> request = std::exchange(slot_, std::nullopt);
        changed_.notify_all();
        return request;
    }
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<WaitRequest> slot_;
    bool closed_ = false;
};

/// What a stream shares with its input wait thread.
struct StreamShared {
    RequestChannel requests;
    /// True from handing a request to the thread until the thread has finished it.
    std::atomic<bool> wait_in_progress{false};
    /// Asks the thread to give up the request it serves.
    std::atomic<bool> stop_requested{false};
};

}  // namespace detail

namespace {

void serve_wait_requests(std::shared_ptr<detail::StreamShared> shared,
                         std::shared_ptr<EventReader> reader, std::function<void()> before_wait) {
    const rt::AlternateSignalStack signal_stack;
    while (auto request = shared->requests.receive()) {
        if (before_wait) {
            before_wait();
        }
        for (;;) {
            auto lock = reader->lock();
            auto found = reader->wait_for_event(lock, std::nullopt);
            lock.unlock();
            // An error ends the request too rather than being retried here:
            // a lasting one would keep failing at once and make this loop
            // spin. The main task's next poll meets it again if it lasts,
            // and gives up.
            if (!found.ok() || *found || shared->stop_requested.load()) {
                break;
            }
        }
        shared->wait_in_progress.store(false);
        request->waker.wake();
    }
}

}  // namespace

Result<std::unique_ptr<TerminalEventStream>> TerminalEventStream::create(SizeQuery size_query) {
    return create(process_event_reader(std::move(size_query)));
}

Result<std::unique_ptr<TerminalEventStream>> TerminalEventStream::create(
    std::shared_ptr<EventReader> reader) {
    return create(std::move(reader), nullptr);
}

Result<std::unique_ptr<TerminalEventStream>> TerminalEventStream::create(
    std::shared_ptr<EventReader> reader, BeforeWait before_wait) {
    auto wake = reader->wake_latch();
    if (!wake) {
        return Error::custom(ErrorKind::Other, "Failed to initialize input reader");
    }
    // Made whole before the thread starts: a thread left running by a failure
    // after it (an allocation) would read the terminal for nobody.
    std::unique_ptr<TerminalEventStream> stream(
        new TerminalEventStream(reader, std::make_shared<detail::StreamShared>(), std::move(wake)));
    try {
        stream->thread_ =
            std::thread(serve_wait_requests, stream->shared_, reader, std::move(before_wait));
    } catch (const std::system_error& error) {
        return Error::os(error.code().value());
    }
    return stream;
}

TerminalEventStream::TerminalEventStream(std::shared_ptr<EventReader> reader,
                                         std::shared_ptr<detail::StreamShared> shared,
                                         std::shared_ptr<rt::WakeLatch> wake)
    : reader_(std::move(reader)), shared_(std::move(shared)), wake_(std::move(wake)) {}

TerminalEventStream::~TerminalEventStream() {
    shared_->stop_requested.store(true);
    // Without the wake a blocked wait would end only at the next key, and the
    // join below with it.
    wake_->set();
    shared_->requests.close();
    // The terminal goes back to the user (and to sudo) right after this: the
    // thread must have stopped reading it, not merely been asked to.
    if (thread_.joinable()) {
        thread_.join();
    }
}

rt::Poll<Result<TerminalEvent>> TerminalEventStream::poll_event(const rt::Waker& waker) {
    // While a request is with the thread, the thread alone reads the terminal.
    // A key served here meanwhile would leave the thread to wait, after taking
    // the lock, for a request nobody needs any more: once the loop is over it
    // would read what the user types at the command's prompt.
    if (shared_->wait_in_progress.load()) {
        return rt::Poll<Result<TerminalEvent>>::pending();
    }
    // Never wait for the lock: the thread holds it only while serving a request.
    if (auto lock = reader_->try_lock(); lock.owns_lock()) {
        auto ready = reader_->wait_for_event(lock, std::chrono::milliseconds(0));
        if (!ready) {
            return Result<TerminalEvent>(std::move(ready).error());
        }
        if (*ready) {
            return reader_->take_event(lock);
        }
    }
    bool idle = false;
    if (shared_->wait_in_progress.compare_exchange_strong(idle, true)) {
        shared_->stop_requested.store(false);
        shared_->requests.send(detail::WaitRequest{waker});
    }
    return rt::Poll<Result<TerminalEvent>>::pending();
}

}  // namespace pacpick::term
