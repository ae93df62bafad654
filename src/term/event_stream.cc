#include "term/event_stream.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

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

/// What a stream shares with its input wait thread, which may outlive it.
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
                         std::shared_ptr<EventReader> reader) {
    while (auto request = shared->requests.receive()) {
        for (;;) {
            auto lock = reader->lock();
            reader->ensure_created(lock);
            auto found = reader->wait_for_event(lock, std::nullopt);
            lock.unlock();
            // An error ends the request too rather than being retried here: a
            // lasting one would keep failing at once and make this loop spin.
            // The main task's next poll meets it again if it lasts, and gives up.
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
    std::shared_ptr<WakeCounter> wake;
    {
        auto lock = reader->lock();  // the thread is not running yet: this never waits long
        reader->ensure_created(lock);
        wake = reader->wake_counter(lock);
    }
    if (!wake) {
        return Error::custom(ErrorKind::Other, "Failed to initialize input reader");
    }
    auto shared = std::make_shared<detail::StreamShared>();
    try {
        std::thread(serve_wait_requests, shared, reader).detach();
    } catch (const std::system_error& error) {
        return Error::os(error.code().value());
    }
    return std::unique_ptr<TerminalEventStream>(
        new TerminalEventStream(std::move(reader), std::move(shared), std::move(wake)));
}

TerminalEventStream::TerminalEventStream(std::shared_ptr<EventReader> reader,
                                         std::shared_ptr<detail::StreamShared> shared,
                                         std::shared_ptr<WakeCounter> wake)
    : reader_(std::move(reader)), shared_(std::move(shared)), wake_(std::move(wake)) {}

TerminalEventStream::~TerminalEventStream() {
    shared_->stop_requested.store(true);
    [[maybe_unused]] auto ignored = wake_->wake();  // nothing better to do if it fails
    shared_->requests.close();
}

rt::Poll<Result<TerminalEvent>> TerminalEventStream::poll_event(const rt::Waker& waker) {
    // Never wait for the lock: if the thread holds it, it is waiting for us.
    if (auto lock = reader_->try_lock(); lock.owns_lock()) {
        reader_->ensure_created(lock);
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
