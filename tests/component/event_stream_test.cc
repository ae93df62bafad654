#include "term/event_stream.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "../support/event_printing.h"
#include "../support/heard_signals.h"
#include "term/input_source.h"

namespace pacpick::term {
namespace {

using namespace std::chrono_literals;

// The program hears window-size signals from its start; so do these tests.
const bool kResizesHeard = pacpick::testing::hear(SIGWINCH);

/// A pseudo-terminal in raw mode: the test types on the master side, the code
/// under test reads the slave side as its terminal.
class Pty {
  public:
    Pty() {
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_col = 80;
        size.ws_row = 24;
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
        master_.reset(master);
        slave_.reset(slave);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        termios attributes{};
        tcgetattr(slave, &attributes);
        cfmakeraw(&attributes);
        tcsetattr(slave, TCSANOW, &attributes);
    }

    void type(std::string_view bytes) {
        ASSERT_EQ(::write(master_.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    /// Waits until typed bytes have reached the slave side (a pseudo-terminal
    /// passes them on asynchronously).
    void wait_for_input() {
        pollfd fd{slave_.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&fd, 1, 10000), 1);
    }
    /// Bytes typed but not yet read from the slave side.
    int unread() const {
        int count = -1;
        ioctl(slave_.get(), FIONREAD, &count);
        return count;
    }
    void resize(uint16_t columns, uint16_t rows) {
        winsize size{};
        size.ws_col = columns;
        size.ws_row = rows;
        ASSERT_EQ(ioctl(master_.get(), TIOCSWINSZ, &size), 0);
    }
    void close_master() { master_.reset(); }
    void close_slave() { slave_.reset(); }

    /// The master side as a source's "terminal": once every slave descriptor is
    /// closed, reading it fails with EIO, as a broken terminal does.
    TerminalHandle master_as_terminal() const {
        return TerminalHandle(UniqueFd(fcntl(master_.get(), F_DUPFD_CLOEXEC, 0)));
    }

    /// The slave side for a source, which closes its own copy.
    TerminalHandle terminal() const {
        return TerminalHandle(UniqueFd(fcntl(slave_.get(), F_DUPFD_CLOEXEC, 0)));
    }
    /// Asks the slave side for its size, as the screen library does for the
    /// real terminal, and counts the questions.
    InputSource::SizeQuery size_query() {
        // Owns its own descriptor and counter: a source may outlive this object
        // for a moment, until its wait thread has ended.
        auto fd = std::make_shared<UniqueFd>(fcntl(slave_.get(), F_DUPFD_CLOEXEC, 0));
        return [fd, count = size_queries]() -> Result<Resize> {
            ++*count;
            winsize size{};
            if (ioctl(fd->get(), TIOCGWINSZ, &size) != 0) {
                return Error::last_os_error();
            }
            return Resize{size.ws_col, size.ws_row};
        };
    }
    std::shared_ptr<EventReader> reader() {
        auto source = InputSource::create(terminal(), size_query());
        EXPECT_TRUE(source.ok()) << source.error().describe();
        return source ? std::make_shared<EventReader>(std::move(*source)) : nullptr;
    }

    std::shared_ptr<std::atomic<int>> size_queries = std::make_shared<std::atomic<int>>(0);

  private:
    UniqueFd master_;
    UniqueFd slave_;
};

/// The main task's side of a wake-up: counts wakes and lets the test wait for one.
class TestWaker : public rt::WakeTarget {
  public:
    void wake() override {
        std::lock_guard lock(mutex_);
        ++wakes_;
        woken_.notify_all();
    }
    /// Waits for a wake after the `seen`-th; false if none came within a
    /// generous safety limit (the test then fails instead of hanging).
    bool wait_for_wake_after(int seen) {
        std::unique_lock lock(mutex_);
        return woken_.wait_for(lock, 10s, [&] { return wakes_ > seen; });
    }
    int wakes() {
        std::lock_guard lock(mutex_);
        return wakes_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable woken_;
    int wakes_ = 0;
};

struct StreamFixture : ::testing::Test {
    void SetUp() override {
        auto created = TerminalEventStream::create(pty.reader());
        ASSERT_TRUE(created.ok()) << created.error().describe();
        stream = std::move(*created);
    }

    /// Polls as the main task does: poll, and after pending, wait to be woken.
    TerminalEvent next_event() {
        for (;;) {
            const int seen = target->wakes();
            auto poll = stream->poll_event(waker);
            if (poll.ready()) {
                auto event = poll.take();
                EXPECT_TRUE(event.ok()) << event.error().describe();
                return event.ok() ? std::move(*event) : TerminalEvent(FocusLost{});
            }
            if (!target->wait_for_wake_after(seen)) {
                ADD_FAILURE() << "never woken";
                return TerminalEvent(FocusLost{});
            }
        }
    }
    bool poll_is_pending() { return !stream->poll_event(waker).ready(); }

    Pty pty;
    std::shared_ptr<TestWaker> target = std::make_shared<TestWaker>();
    rt::Waker waker{target};
    std::unique_ptr<TerminalEventStream> stream;
};

TerminalEvent key(char c) {
    return KeyEvent{KeyCode::character(static_cast<char32_t>(c)), {}, KeyKind::Press, {}};
}

TEST_F(StreamFixture, TwoKeysInOneWriteArriveInOrderAndTheSecondStaysInTheTerminalUntilAskedFor) {
    pty.type("jk");
    EXPECT_EQ(next_event(), key('j'));
    EXPECT_EQ(pty.unread(), 1) << "a key nobody asked for yet was taken from the terminal";
    pty.type("\x1b[Ax");
    pty.wait_for_input();
    EXPECT_EQ(next_event(), key('k'));
    EXPECT_EQ(next_event(),
              TerminalEvent(KeyEvent{KeyCode::of(KeyCode::Kind::Up), {}, KeyKind::Press, {}}));
    EXPECT_EQ(pty.unread(), 1) << "a sequence was read past its end";
    EXPECT_EQ(next_event(), key('x'));
}

TEST_F(StreamFixture, CursorPositionReportBetweenTwoKeysIsNeverHandedOut) {
    pty.type("a\x1b[5;10Rb");
    EXPECT_EQ(next_event(), key('a'));
    EXPECT_EQ(next_event(), key('b'));
    EXPECT_TRUE(poll_is_pending());
    pty.type("\x1b[?1;2cc");  // another report, then a key
    EXPECT_EQ(next_event(), key('c'));
}

TEST_F(StreamFixture, KeysTypedWhileTheMainTaskWaitsWakeItInOrder) {
    ASSERT_TRUE(poll_is_pending());  // the wait thread now waits in our place
    const int seen = target->wakes();
    pty.type("\x1b[A");
    ASSERT_TRUE(target->wait_for_wake_after(seen));
    EXPECT_EQ(next_event(),
              TerminalEvent(KeyEvent{KeyCode::of(KeyCode::Kind::Up), {}, KeyKind::Press, {}}));
}

TEST_F(StreamFixture, TwoWindowSignalsBeforeTheReaderLooksGiveOneResizeWithTheCurrentSize) {
    pty.resize(100, 30);
    ASSERT_EQ(raise(SIGWINCH), 0);
    pty.resize(120, 40);
    ASSERT_EQ(raise(SIGWINCH), 0);
    EXPECT_EQ(next_event(), TerminalEvent(Resize{120, 40}));
    EXPECT_EQ(pty.size_queries->load(), 1);
    EXPECT_TRUE(poll_is_pending()) << "a second Resize was made";
    pty.type("z");
    EXPECT_EQ(next_event(), key('z'));
    EXPECT_EQ(pty.size_queries->load(), 1);
}

TEST(EventStreamTest, DestroyingTheStreamEndsABlockedWaitAndLosesNoKey) {
    Pty pty;
    auto reader = pty.reader();
    auto target = std::make_shared<TestWaker>();
    rt::Waker waker(target);

    auto first = TerminalEventStream::create(reader);
    ASSERT_TRUE(first.ok());
    pty.type("ab");
    pty.wait_for_input();
    auto a = (*first)->poll_event(waker);
    ASSERT_TRUE(a.ready());
    EXPECT_EQ(*a.take(), key('a'));
    first->reset();  // 'b' is still in the terminal

    auto second = TerminalEventStream::create(reader);
    ASSERT_TRUE(second.ok());
    auto b = (*second)->poll_event(waker);
    ASSERT_TRUE(b.ready());
    EXPECT_EQ(*b.take(), key('b'));

    const int seen = target->wakes();
    ASSERT_FALSE((*second)->poll_event(waker).ready());  // the thread blocks on the terminal
    second->reset();
    EXPECT_TRUE(target->wait_for_wake_after(seen)) << "the blocked wait did not give up";

    pty.type("c");
    auto third = TerminalEventStream::create(reader);
    ASSERT_TRUE(third.ok());
    for (;;) {
        const int before = target->wakes();
        auto c = (*third)->poll_event(waker);
        if (c.ready()) {
            EXPECT_EQ(*c.take(), key('c'));
            break;
        }
        ASSERT_TRUE(target->wait_for_wake_after(before));
    }
}

TEST_F(StreamFixture, AClosedTerminalEndsTheStreamWithALastingError) {
    ASSERT_TRUE(poll_is_pending());  // the thread waits on the terminal when it goes
    const int seen = target->wakes();
    pty.close_master();
    ASSERT_TRUE(target->wait_for_wake_after(seen));
    for (int poll = 0; poll < 3; ++poll) {
        auto ended = stream->poll_event(waker);
        ASSERT_TRUE(ended.ready()) << "poll " << poll << " waits on a terminal that is gone";
        auto event = ended.take();
        ASSERT_FALSE(event.ok());
        EXPECT_EQ(event.error().describe(),
                  R"(Error { kind: Other, message: "end of terminal input" })");
    }
}

std::set<std::string> thread_ids() {
    std::set<std::string> ids;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        ids.insert(entry->d_name);
    }
    closedir(dir);
    return ids;
}

/// A stream on `reader` and the id of its input wait thread, the thread its
/// creation adds to the process.
std::pair<std::unique_ptr<TerminalEventStream>, std::string> stream_and_thread(
    std::shared_ptr<EventReader> reader) {
    const std::set<std::string> before = thread_ids();
    auto stream = TerminalEventStream::create(std::move(reader));
    EXPECT_TRUE(stream.ok());
    std::string thread;
    for (const std::string& id : thread_ids()) {
        thread = before.count(id) ? thread : id;
    }
    return {stream ? std::move(*stream) : nullptr, thread};
}

/// Waits until `thread` sleeps in `system_call`, as the kernel tells.
void wait_until_asleep_in(const std::string& thread, long system_call) {
    for (std::string call; call != std::to_string(system_call); std::this_thread::yield()) {
        std::ifstream("/proc/self/task/" + thread + "/syscall") >> call;
    }
}

int g_stalled = -1;  // the stalled thread writes a byte here
int g_go_on = -1;    // and goes on once it reads one from here

void stall(int) {
    const int saved_errno = errno;
    char byte = 0;
    (void)!::write(g_stalled, &byte, 1);
    while (::read(g_go_on, &byte, 1) < 0 && errno == EINTR) {
    }
    errno = saved_errno;
}

TEST(EventStreamTest, APollWhileARequestIsOutLeavesTheKeyToTheThread) {
    Pty pty;
    auto target = std::make_shared<TestWaker>();
    rt::Waker waker(target);
    auto [stream, thread] = stream_and_thread(pty.reader());
    ASSERT_TRUE(stream);
    // Stalled in a signal handler while asleep for its first request (its
    // request lock free), the thread leaves the request the poll makes untaken,
    // and the reader free: the moment a poll of the main task, woken by
    // something else, must not read the key itself.
    wait_until_asleep_in(thread, SYS_futex);
    int stalled[2];
    int go_on[2];
    ASSERT_EQ(pipe2(stalled, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go_on, O_CLOEXEC), 0);
    g_stalled = stalled[1];
    g_go_on = go_on[0];
    struct sigaction action {};
    action.sa_handler = stall;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    ASSERT_EQ(syscall(SYS_tgkill, getpid(), std::stoi(thread), SIGUSR1), 0);
    char byte = 0;
    ASSERT_EQ(::read(stalled[0], &byte, 1), 1);

    ASSERT_FALSE(stream->poll_event(waker).ready());
    pty.type("\r");
    pty.wait_for_input();
    const bool served_by_the_poll = stream->poll_event(waker).ready();
    const int seen = target->wakes();
    ASSERT_EQ(::write(go_on[1], &byte, 1), 1);
    ASSERT_FALSE(served_by_the_poll)
        << "the poll took the key: the thread goes on to wait for a request nobody needs";

    ASSERT_TRUE(target->wait_for_wake_after(seen));
    auto enter = stream->poll_event(waker);
    ASSERT_TRUE(enter.ready());
    EXPECT_EQ(*enter.take(),
              TerminalEvent(KeyEvent{KeyCode::of(KeyCode::Kind::Enter), {}, KeyKind::Press, {}}));
    sigaction(SIGUSR1, &previous, nullptr);
    for (int fd : {stalled[0], stalled[1], go_on[0], go_on[1]}) {
        close(fd);
    }
}

TEST(EventStreamTest, DestroyingTheStreamReturnsOnlyOnceItsThreadIsGone) {
    Pty pty;
    auto reader = pty.reader();
    auto target = std::make_shared<TestWaker>();
    for (int round = 0; round < 20; ++round) {
        auto [stream, thread] = stream_and_thread(reader);
        ASSERT_TRUE(stream);
        // The thread holds a copy of the waker it serves until it is done with
        // it: the copies show whether it is still there.
        ASSERT_FALSE(stream->poll_event(rt::Waker(target)).ready());
        wait_until_asleep_in(thread, SYS_epoll_wait);
        stream.reset();
        ASSERT_EQ(target.use_count(), 1) << "round " << round << ": the thread outlived its stream";
    }
    pty.type("k");
    pty.wait_for_input();
    EXPECT_EQ(pty.unread(), 1) << "something still reads the terminal";
}

TEST(InputSourceTest, KeysReadBeforeTheEndOfInputComeFirstThenEveryReadFailsAtOnce) {
    Pty pty;
    auto source = InputSource::create(pty.terminal(), pty.size_query());
    ASSERT_TRUE(source.ok()) << source.error().describe();
    pty.type("ab");
    pty.wait_for_input();
    auto next_key = [&source] {
        auto item = (*source)->read_item(std::nullopt);
        EXPECT_TRUE(item.ok() && item->has_value());
        return item.ok() && item->has_value() ? std::get<TerminalEvent>(**item)
                                              : TerminalEvent(FocusLost{});
    };
    EXPECT_EQ(next_key(), key('a'));
    EXPECT_EQ(next_key(), key('b'));
    pty.close_master();
    // A source that went on waiting would give nothing at the time-out.
    for (int read = 0; read < 2; ++read) {
        auto ended = (*source)->read_item(10s);
        ASSERT_FALSE(ended.ok());
        EXPECT_FALSE(InputSource::is_wake_interruption(ended.error()));
        EXPECT_EQ(ended.error().message(), "end of terminal input");
    }
}

TEST(InputSourceTest, AFailingReadIsALastingErrorWithItsErrno) {
    Pty pty;
    // A size query of its own would hold the slave side open.
    auto source = InputSource::create(pty.master_as_terminal(), [] {
        return Result<Resize>(Resize{80, 24});
    });
    ASSERT_TRUE(source.ok()) << source.error().describe();
    pty.close_slave();
    for (int read = 0; read < 2; ++read) {
        auto failed = (*source)->read_item(10s);
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error(), Error::os(EIO));
    }
}

TEST(InputSourceTest, WakesBeforeAWaitCountAsOne) {
    Pty pty;
    auto source = InputSource::create(pty.terminal(), pty.size_query());
    ASSERT_TRUE(source.ok());
    (*source)->wake_latch()->set();
    (*source)->wake_latch()->set();
    auto first = (*source)->read_item(std::nullopt);
    ASSERT_FALSE(first.ok());
    EXPECT_TRUE(InputSource::is_wake_interruption(first.error()));
    auto second = (*source)->read_item(0ms);
    ASSERT_TRUE(second.ok()) << second.error().describe();
    EXPECT_FALSE(second->has_value());
}

TEST(InputSourceTest, TimeOutWithoutInputGivesNothing) {
    Pty pty;
    auto source = InputSource::create(pty.terminal(), pty.size_query());
    ASSERT_TRUE(source.ok());
    auto item = (*source)->read_item(20ms);
    ASSERT_TRUE(item.ok());
    EXPECT_FALSE(item->has_value());
}

TEST(EventStreamTest, AReaderWithoutItsSourceFailsTheStreamsCreation) {
    auto stream = TerminalEventStream::create(nullptr);
    ASSERT_FALSE(stream.ok());
    EXPECT_EQ(stream.error().message(), "Failed to initialize input reader");
}

}  // namespace
}  // namespace pacpick::term
