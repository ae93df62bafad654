#include "runtime/runtime.h"
#include "runtime/sleep.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/task_frames.h"
#include "forked_child.h"
#include "refused_calls.h"
#include "runtime/async_fd.h"
#include "runtime/channel.h"
#include "runtime/join.h"
#include "runtime/select.h"
#include "runtime/signal_notice.h"
#include "thread_states.h"

namespace pacpick::rt {
namespace {

using namespace std::chrono_literals;

using pacpick::testing::until_gone;

std::unique_ptr<Runtime> make_runtime(unsigned workers = 2) {
    auto runtime = Runtime::build(workers);
    EXPECT_TRUE(runtime.ok());
    return std::move(runtime).value();
}

/// A flag one thread raises and another waits for, up to a deadline that only
/// a broken runtime would reach.
class Flag {
  public:
    void raise() {
        // Notified under the lock: the waiter may destroy the flag as soon as
        // it sees it raised.
        std::lock_guard lock(mutex_);
        raised_ = true;
        changed_.notify_all();
    }
    bool wait(std::chrono::seconds patience = 30s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [this] { return raised_; });
    }
    bool raised() {
        std::lock_guard lock(mutex_);
        return raised_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
};

/// A leaf that wakes its own task on every poll and stays pending until `stop`
/// is set, as a reader of a child that never stops writing does. It gives up
/// at a far deadline so that a runtime which never lets anything else run
/// fails the test instead of hanging it; `gave_up` tells which happened.
struct WakesItself {
    std::atomic<bool>& stop;
    Flag& polled;
    bool gave_up = false;
    Clock::time_point give_up_at = Clock::now() + 20s;

    Poll<Unit> poll(const Waker& waker) {
        polled.raise();
        if (stop.load()) {
            return Unit{};
        }
        if (Clock::now() >= give_up_at) {
            gave_up = true;
            return Unit{};
        }
        waker.wake();
        return Poll<Unit>::pending();
    }
};

/// A leaf future that is always ready: the worst case for fairness.
struct AlwaysReady {
    int value;
    Poll<int> poll(const Waker&) { return value; }
};

Task<void> sleep_then_send(Clock::duration d, Sender<int> tx, int value) {
    co_await Sleep(d);
    tx.send(value);
}

Task<int> add_after_sleep(int a, int b) {
    co_await Sleep(1ms);
    co_return a + b;
}

Task<int> nested_sum() {
    int x = co_await add_after_sleep(1, 2);
    int y = co_await add_after_sleep(x, 4);
    co_return y;
}

TEST(RuntimeTest, BlockOnRunsNestedTasksToTheirResult) {
    auto runtime = make_runtime();
    EXPECT_EQ(runtime->block_on(nested_sum()), 7);
}

TEST(RuntimeTest, SleepWaitsAtLeastItsDuration) {
    auto runtime = make_runtime();
    const auto start = Clock::now();
    runtime->block_on([]() -> Task<void> { co_await Sleep(120ms); }());
    EXPECT_GE(Clock::now() - start, 120ms);
}

TEST(RuntimeTest, CancelDuringSleepStopsTheTaskBeforeItSendsAnything) {
    auto runtime = make_runtime();
    auto [tx, rx] = make_channel<int>();
    std::atomic<bool> ran_past_sleep{false};
    Flag sleeping;
    auto frame = std::make_shared<int>(0);
    auto handle = runtime->spawn([](Sender<int> tx, std::atomic<bool>& flag, Flag& sleeping,
                                    std::shared_ptr<int>) -> Task<void> {
        sleeping.raise();
        co_await Sleep(200ms);
        flag.store(true);
        tx.send(1);
    }(tx, ran_past_sleep, sleeping, frame));
    std::weak_ptr<int> seen = std::exchange(frame, nullptr);
    // Cancelled as soon as it runs: the sleep has started, or starts at once,
    // and is far from its end.
    ASSERT_TRUE(sleeping.wait());
    handle.cancel();
    runtime->block_on(until_gone(seen));
    // A sender that would wake later runs past the cancelled one's deadline.
    runtime->spawn(sleep_then_send(300ms, tx, 2));
    const auto got = runtime->block_on(
        [](Receiver<int>& rx) -> Task<std::optional<int>> { co_return co_await rx.recv(); }(rx));
    EXPECT_EQ(got, std::optional<int>(2));
    EXPECT_FALSE(ran_past_sleep.load());
}

TEST(RuntimeTest, CancelNeverWaitsForTheTask) {
    auto runtime = make_runtime();
    auto frame = std::make_shared<int>(0);
    auto handle =
        runtime->spawn([](std::shared_ptr<int>) -> Task<void> { co_await Sleep(1h); }(frame));
    std::weak_ptr<int> seen = std::exchange(frame, nullptr);
    handle.cancel();  // returns at once; the task goes away at its wait point
    runtime->block_on(until_gone(seen));
    EXPECT_TRUE(seen.expired()) << "the cancelled task's frame was kept";
    // So does a task that returns, at its end.
    frame = std::make_shared<int>(0);
    runtime->spawn([](std::shared_ptr<int>) -> Task<void> { co_return; }(frame));
    seen = std::exchange(frame, nullptr);
    runtime->block_on(until_gone(seen));
    EXPECT_TRUE(seen.expired()) << "the finished task's frame was kept";
}

/// Wakes its own task during its first poll and is pending, as a wake from
/// another thread that lands while the task runs; ready at the next poll.
struct WakesDuringItsRun {
    int polls = 0;
    Poll<Unit> poll(const Waker& waker) {
        if (++polls > 1) {
            return Unit{};
        }
        waker.wake();
        return Poll<Unit>::pending();
    }
};

TEST(RuntimeTest, AWakeThatLandsWhileTheTaskRunsIsNotLost) {
    auto runtime = make_runtime(1);
    Flag done;
    runtime->spawn([](Flag& done) -> Task<void> {
        co_await WakesDuringItsRun{};
        done.raise();
    }(done));
    EXPECT_TRUE(done.wait(5s)) << "the wake that came during the run was lost";
}

TEST(RuntimeTest, WithOneWorkerASleepingTaskEndsWhileAnotherKeepsWakingItself) {
    std::atomic<bool> sleeper_done{false};
    Flag polled;
    auto runtime = make_runtime(1);
    auto [tx, rx] = make_channel<bool>();
    runtime->spawn([](std::atomic<bool>& stop, Flag& polled, Sender<bool> tx) -> Task<void> {
        WakesItself leaf{stop, polled};
        co_await leaf;
        tx.send(leaf.gave_up);
    }(sleeper_done, polled, tx));
    ASSERT_TRUE(polled.wait());  // the only worker is busy with it from here on
    runtime->spawn([](std::atomic<bool>& done) -> Task<void> {
        co_await Sleep(10ms);
        done.store(true);
    }(sleeper_done));
    const auto gave_up = runtime->block_on(
        [](Receiver<bool>& rx) -> Task<std::optional<bool>> { co_return co_await rx.recv(); }(rx));
    EXPECT_EQ(gave_up, std::optional<bool>(false))
        << "the sleeping task never ran beside the one that keeps waking itself";
}

TEST(RuntimeTest, ShutdownDoesNotWaitForATaskThatKeepsWakingItself) {
    std::atomic<bool> never{false};
    Flag polled;
    auto runtime = make_runtime(1);
    auto token = std::make_shared<int>(0);
    auto gave_up = std::make_shared<std::atomic<bool>>(false);
    runtime->spawn([](std::atomic<bool>& stop, Flag& polled, std::shared_ptr<int>,
                      std::shared_ptr<std::atomic<bool>> gave_up) -> Task<void> {
        WakesItself leaf{stop, polled};
        co_await leaf;
        gave_up->store(leaf.gave_up);
    }(never, polled, token, gave_up));
    ASSERT_TRUE(polled.wait());
    runtime->shutdown();
    EXPECT_FALSE(gave_up->load()) << "shutdown waited for the task to give up by itself";
    EXPECT_EQ(token.use_count(), 1) << "the task was not dropped";
}

TEST(RuntimeTest, DroppedHandleLeavesTheTaskRunning) {
    auto runtime = make_runtime();
    auto [tx, rx] = make_channel<int>();
    { runtime->spawn(sleep_then_send(10ms, tx, 5)); }
    auto got = runtime->block_on(
        [](Receiver<int>& rx) -> Task<std::optional<int>> { co_return co_await rx.recv(); }(rx));
    EXPECT_EQ(got, std::optional<int>(5));
}

TEST(ChannelTest, EightSendersOfTenThousandEachArriveCompleteAndInOrderPerSender) {
    constexpr int kSenders = 8;
    constexpr int kEach = 10000;
    auto runtime = make_runtime();
    auto [tx, rx] = make_channel<std::pair<int, int>>();
    std::vector<std::thread> threads;
    for (int s = 0; s < kSenders; ++s) {
        threads.emplace_back([tx = tx, s] {
            for (int i = 0; i < kEach; ++i) {
                tx.send({s, i});
            }
        });
    }
    { auto drop = std::move(tx); }
    auto next = runtime->block_on([](Receiver<std::pair<int, int>>& rx) -> Task<std::vector<int>> {
        std::vector<int> next(kSenders, 0);
        while (auto message = co_await rx.recv()) {
            auto [sender, seq] = *message;
            EXPECT_EQ(seq, next[sender]) << "sender " << sender << " out of order";
            next[sender] = seq + 1;
        }
        co_return next;  // the loop ends when every sender is gone
    }(rx));
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(next, std::vector<int>(kSenders, kEach));
}

TEST(ChannelTest, SendAfterTheReceiverIsGoneIsDroppedSilently) {
    auto [tx, rx] = make_channel<std::shared_ptr<int>>();
    auto token = std::make_shared<int>(0);
    tx.send(token);
    { auto gone = std::move(rx); }
    EXPECT_EQ(token.use_count(), 1) << "what was queued outlived the receiver";
    tx.send(token);  // must neither block nor keep it
    EXPECT_EQ(token.use_count(), 1) << "a send to no receiver was kept";
}

TEST(SelectTest, TwoAlwaysReadySourcesAreEachPickedAboutHalfTheTime) {
    auto runtime = make_runtime();
    constexpr int kPasses = 10000;
    const int firsts = runtime->block_on([]() -> Task<int> {
        AlwaysReady a{0}, b{1};
        int count_a = 0;
        for (int i = 0; i < kPasses; ++i) {
            auto picked = co_await Select(a, b);
            if (picked.index() == 0)
                ++count_a;
        }
        co_return count_a;
    }());
    EXPECT_GE(firsts, kPasses * 40 / 100);
    EXPECT_LE(firsts, kPasses * 60 / 100);
}

TEST(SelectTest, TakesOnlyOneItemPerPassAndWaitsForTheOtherSource) {
    auto runtime = make_runtime();
    auto [tx_a, rx_a] = make_channel<int>();
    auto [tx_b, rx_b] = make_channel<int>();
    runtime->spawn(sleep_then_send(10ms, tx_b, 42));
    auto picked = runtime->block_on([](Receiver<int>& a, Receiver<int>& b) -> Task<int> {
        auto ra = a.recv();
        auto rb = b.recv();
        auto result = co_await Select(ra, rb);
        EXPECT_EQ(result.index(), 1u);
        co_return *std::get<1>(result);
    }(rx_a, rx_b));
    EXPECT_EQ(picked, 42);
}

TEST(JoinTest, WaitsForBothAndKeepsEachResult) {
    auto runtime = make_runtime();
    auto [tx_a, rx_a] = make_channel<int>();
    auto [tx_b, rx_b] = make_channel<int>();
    runtime->spawn(sleep_then_send(15ms, tx_a, 1));
    runtime->spawn(sleep_then_send(5ms, tx_b, 2));
    auto both =
        runtime->block_on([](Receiver<int>& a, Receiver<int>& b) -> Task<std::pair<int, int>> {
            auto ra = a.recv();
            auto rb = b.recv();
            auto [x, y] = co_await Join(ra, rb);
            co_return std::pair{*x, *y};
        }(rx_a, rx_b));
    EXPECT_EQ(both, (std::pair{1, 2}));
}

TEST(ReactorTest, TaskWaitingOnAPipeIsWokenByAWriteFromAnotherThreadWithoutBlockingAThread) {
    auto runtime = make_runtime();
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    UniqueFd write_end(fds[1]);
    auto [tx, rx] = make_channel<std::string>();
    runtime->spawn([](UniqueFd fd, Sender<std::string> tx) -> Task<void> {
        AsyncFd pipe(std::move(fd));
        auto ready = co_await pipe;
        EXPECT_TRUE(ready.ok());
        char buf[16];
        const ssize_t n = ::read(pipe.fd(), buf, sizeof buf);
        tx.send(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
    }(UniqueFd(fds[0]), tx));

    pacpick::testing::expect_only_the_reactor_waits_for_io();

    std::thread writer([&] { ASSERT_EQ(::write(write_end.get(), "ping", 4), 4); });
    auto got = runtime->block_on([](Receiver<std::string>& rx) -> Task<std::optional<std::string>> {
        co_return co_await rx.recv();
    }(rx));
    writer.join();
    EXPECT_EQ(got, std::optional<std::string>("ping"));
}

TEST(ReactorTest, ReadinessCanBeWaitedForAgainAfterItWasConsumed) {
    auto runtime = make_runtime();
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    UniqueFd write_end(fds[1]);
    auto [tx, rx] = make_channel<int>();
    runtime->spawn([](UniqueFd fd, Sender<int> tx) -> Task<void> {
        AsyncFd pipe(std::move(fd));
        for (int round = 0; round < 3; ++round) {
            auto ready = co_await pipe;
            EXPECT_TRUE(ready.ok());
            char c;
            EXPECT_EQ(::read(pipe.fd(), &c, 1), 1);
            tx.send(c - '0');
        }
    }(UniqueFd(fds[0]), tx));
    std::vector<int> seen;
    for (char c : std::string("123")) {
        ASSERT_EQ(::write(write_end.get(), &c, 1), 1);
        seen.push_back(*runtime->block_on([](Receiver<int>& rx) -> Task<std::optional<int>> {
            co_return co_await rx.recv();
        }(rx)));
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

double process_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// A leaf that polls another one once and is ready at once with whether that
/// one was: it starts a wait, such as a sleep's timer, without waiting.
template <typename F>
struct PollOnce {
    F& inner;
    Poll<bool> poll(const Waker& waker) { return inner.poll(waker).ready(); }
};

/// Starts a long timer, then waits for a pipe written by another thread and
/// tells whether its readiness arrived before the timer was due; then lets
/// 300 ms pass with timers pending and nothing else to do.
Task<bool> read_pipe_while_a_timer_is_pending() {
    constexpr auto kLong = 5s;
    const auto due = Clock::now() + kLong;
    Sleep long_timer(kLong);
    co_await PollOnce<Sleep>{long_timer};
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        co_return false;
    }
    UniqueFd write_end(fds[1]);
    AsyncFd read_end{UniqueFd(fds[0])};
    std::thread writer([fd = write_end.get()] { [[maybe_unused]] auto n = ::write(fd, "x", 1); });
    auto ready = co_await read_end;
    writer.join();
    const bool in_time = ready.ok() && Clock::now() < due;
    co_await Sleep(300ms);
    co_return in_time;
}

TEST(ReactorTest, ReadinessComesWhileATimerIsPendingAndNothingSpins) {
    auto runtime = make_runtime();
    const double cpu_before = process_cpu_ms();
    const auto start = Clock::now();
    EXPECT_TRUE(runtime->block_on(read_pipe_while_a_timer_is_pending()))
        << "readiness waited for the timer";
    const double wall_ms = ms_since(start);
    const double cpu_ms = process_cpu_ms() - cpu_before;
    EXPECT_GE(wall_ms, 300);
    EXPECT_LT(cpu_ms * 4, wall_ms) << "cpu " << cpu_ms << " ms";
}

TEST(RuntimeTest, ShutdownWithAHundredSleepingTasksReturnsAtOnceAndDropsThem) {
    auto runtime = make_runtime();
    // Every task's frame holds a copy of the token, started or not.
    auto token = std::make_shared<int>(0);
    for (int i = 0; i < 100; ++i) {
        runtime->spawn([](std::shared_ptr<int>) -> Task<void> { co_await Sleep(1h); }(token));
    }
    EXPECT_EQ(token.use_count(), 101);
    const auto start = Clock::now();
    runtime->shutdown();
    // A generous bound that only a hang would exceed.
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(token.use_count(), 1) << "a pending task was not dropped";
}

TEST(RuntimeTest, ATaskSpawnedAfterShutdownIsDroppedAtOnce) {
    auto runtime = make_runtime();
    runtime->shutdown();
    auto token = std::make_shared<int>(0);
    runtime->spawn([](std::shared_ptr<int>) -> Task<void> { co_await Sleep(1h); }(token));
    EXPECT_EQ(token.use_count(), 1) << "the frame of a task that can never run was kept";
}

/// Ready once `signal_number` has been noticed since it was made.
class Noticed {
  public:
    explicit Noticed(int signal_number)
        : signal_number_(signal_number),
          seen_(signal_count(signal_number)),
          listener_{signal_number} {}
    Poll<Unit> poll(const Waker& waker) {
        listener_.wake_on_notice(waker);
        return signal_count(signal_number_) != seen_ ? Poll<Unit>(Unit{}) : Poll<Unit>::pending();
    }

  private:
    int signal_number_;
    uint64_t seen_;
    SignalListener listener_;
};

TEST(SignalNoticeTest, ANoticeFromAnotherThreadWakesTheListeningTaskThroughTheReactor) {
    auto runtime = make_runtime();
    const bool woken = runtime->block_on([]() -> Task<bool> {
        Noticed noticed(SIGUSR2);
        co_await PollOnce<Noticed>{noticed};  // now listening, and nothing noticed yet
        std::thread handler([] { notice_signal(SIGUSR2); });
        // A lost wake shows as the deadline winning, not as a hang.
        Sleep deadline(30s);
        auto first = co_await Select(noticed, deadline);
        handler.join();
        co_return first.index() == 0;
    }());
    EXPECT_TRUE(woken) << "the notice never woke the listening task";
}

TEST(SignalNoticeTest, OnlyASignalSomethingListensForWakesTheReactor) {
    pollfd notices{signal_notice_fd().value(), POLLIN, 0};
    notice_signal(SIGURG);
    EXPECT_EQ(poll(&notices, 1, 0), 0) << "a signal nobody listens for woke the reactor";
    SignalListener listener{SIGURG};
    notice_signal(SIGURG);
    EXPECT_EQ(poll(&notices, 1, 0), 1) << "a signal listened for did not";
    deliver_signal_notices();
}

}  // namespace
}  // namespace pacpick::rt
