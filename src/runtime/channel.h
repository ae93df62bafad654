#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/poll.h"
#include "runtime/waker.h"

namespace pacpick::rt {

namespace detail {
template <typename T>
struct ChannelState {
    std::mutex mutex;
    std::deque<T> queue;
    Waker receiver_waker;
    bool receiver_alive = true;
    std::atomic<size_t> senders{0};
};
}  // namespace detail

template <typename T>
class Receiver;

/// The sending end of an unbounded channel. Copies are independent senders.
/// `send` never blocks and never fails: once the receiver is gone, messages are
/// dropped without notice. Messages of one sender arrive in the order sent.
template <typename T>
class Sender {
  public:
    Sender(const Sender& other) : state_(other.state_) { attach(); }
    Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
    Sender& operator=(const Sender&) = delete;
    ~Sender() { detach(); }

    void send(T message) const {
        Waker to_wake;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) {
                return;
            }
            state_->queue.push_back(std::move(message));
            to_wake = std::exchange(state_->receiver_waker, Waker());
        }
        to_wake.wake();
    }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel();

    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {
        attach();
    }
    void attach() {
        if (state_) {
            state_->senders.fetch_add(1);
        }
    }
    void detach() {
        if (state_ && state_->senders.fetch_sub(1) == 1) {
            Waker to_wake;
            {
                std::lock_guard lock(state_->mutex);
                to_wake = std::exchange(state_->receiver_waker, Waker());
            }
            to_wake.wake();  // the receiver learns that the channel closed
        }
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

/// The one receiving end. `poll_recv` yields the next message, or nothing once
/// every sender is gone and the queue is empty. Dropping it discards whatever is
/// queued and makes every later send a no-op.
template <typename T>
class Receiver {
  public:
    Receiver(Receiver&&) noexcept = default;
    ~Receiver() { close(); }

    Poll<std::optional<T>> poll_recv(const Waker& waker) {
        std::lock_guard lock(state_->mutex);
        if (!state_->queue.empty()) {
            T message = std::move(state_->queue.front());
            state_->queue.pop_front();
            return std::optional<T>(std::move(message));
        }
        if (state_->senders.load() == 0) {
            return std::optional<T>();
        }
        state_->receiver_waker = waker;
        return Poll<std::optional<T>>::pending();
    }

    /// A leaf future for the next message; polling it is repeatable.
    class Recv {
      public:
        explicit Recv(Receiver& receiver) : receiver_(receiver) {}
        Poll<std::optional<T>> poll(const Waker& waker) { return receiver_.poll_recv(waker); }

      private:
        Receiver& receiver_;
    };
    Recv recv() { return Recv(*this); }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel();
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    void close() {
        if (!state_) {
            return;
        }
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
        }
        // No sender touches the queue once the receiver is gone, so what is
        // left goes after the lock, and without a new queue being made: this
        // runs in destructors, where an allocation must not fail.
        state_->queue.clear();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace pacpick::rt
