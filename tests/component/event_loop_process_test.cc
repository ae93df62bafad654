#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../support/task_frames.h"
#include "forked_child.h"
#include "process/blocking.h"
#include "process/child.h"
#include "process/run.h"
#include "process_helpers.h"
#include "refused_calls.h"
#include "runtime/channel.h"
#include "runtime/join.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"
#include "thread_states.h"

namespace pacpick::process {
namespace {

using namespace std::chrono_literals;
using test::read_file;
using test::shell;
using test::TempDir;

std::unique_ptr<rt::Runtime> make_runtime() {
    auto runtime = rt::Runtime::build(2);
    EXPECT_TRUE(runtime.ok());
    return std::move(runtime).value();
}

template <typename T>
rt::Task<std::optional<T>> receive(rt::Receiver<T>& rx) {
    co_return co_await rx.recv();
}

/// A named pipe: a child that opens it for reading blocks until `release`.
std::string make_fifo(const TempDir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return path;
}

void release(const std::string& fifo, const std::string& line) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::close(fd);
}

/// The state letter of /proc/PID/stat ('Z' for a zombie), or 0 when the
/// process is gone, even between the open and the read (ESRCH).
char process_state(pid_t pid) {
    char buffer[512];
    const UniqueFd fd(
        ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    const ssize_t n = fd.valid() ? ::read(fd.get(), buffer, sizeof buffer) : -1;
    const std::string stat(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    const size_t close_paren = stat.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= stat.size()
               ? 0
               : stat[close_paren + 2];
}

/// The event loop's children, on either route: CTest runs these again on the
/// SIGCHLD route.
class EventLoopRouteTest : public ::testing::Test {
  protected:
    void SetUp() override { runtime_ = make_runtime(); }
    void TearDown() override {
        runtime_.reset();
        test::expect_the_sigchld_route_where_asked();
    }
    std::unique_ptr<rt::Runtime> runtime_;
};

using OutputPair = std::pair<Result<CommandOutput>, Result<CommandOutput>>;

rt::Task<void> run_two_captured(ChildCommand first, ChildCommand second, rt::Sender<int> started,
                                rt::Sender<OutputPair> done) {
    auto a = run_captured(std::move(first));
    auto b = run_captured(std::move(second));
    started.send(1);
    auto [ra, rb] = co_await rt::Join(a, b);
    done.send(OutputPair(std::move(ra), std::move(rb)));
}

TEST_F(EventLoopRouteTest, WhileChildrenRunNoThreadIsParkedInAWaitForThem) {
    TempDir dir;
    const std::string fifo_a = make_fifo(dir, "a");
    const std::string fifo_b = make_fifo(dir, "b");
    auto [started_tx, started_rx] = rt::make_channel<int>();
    auto [done_tx, done_rx] = rt::make_channel<OutputPair>();
    runtime_->spawn(run_two_captured(shell(R"(read x < "$1"; echo "$x")", {fifo_a}),
                                     shell(R"(read x < "$1"; echo "$x" >&2)", {fifo_b}), started_tx,
                                     done_tx));
    ASSERT_TRUE(runtime_->block_on(receive(started_rx)).has_value());

    pacpick::testing::expect_only_the_reactor_waits_for_io();

    release(fifo_a, "first\n");
    release(fifo_b, "second\n");
    auto done = runtime_->block_on(receive(done_rx));
    ASSERT_TRUE(done.has_value());
    ASSERT_TRUE(done->first.ok() && done->second.ok());
    EXPECT_EQ(done->first->stdout_data, "first\n");
    EXPECT_EQ(done->second->stderr_data, "second\n");
}

TEST_F(EventLoopRouteTest, ChildrenStartedOneAfterTheOtherRunAtTheSameTime) {
    TempDir dir;
    const std::string fifo = make_fifo(dir, "handover");
    // Opening a FIFO blocks until its other end is opened too, so each child
    // can finish only if the other one is running.
    auto [started_tx, started_rx] = rt::make_channel<int>();
    auto [done_tx, done_rx] = rt::make_channel<OutputPair>();
    runtime_->spawn(run_two_captured(shell(R"(echo handed > "$1")", {fifo}),
                                     shell(R"(cat "$1")", {fifo}), started_tx, done_tx));
    auto done = runtime_->block_on(receive(done_rx));
    ASSERT_TRUE(done.has_value());
    ASSERT_TRUE(done->first.ok() && done->second.ok());
    EXPECT_EQ(done->second->stdout_data, "handed\n");
}

rt::Task<void> capture_until_cancelled(ChildCommand command, std::shared_ptr<int>) {
    auto run = run_captured(std::move(command));
    [[maybe_unused]] auto output = co_await run;
    ADD_FAILURE() << "the task went on past a cancelled wait";
}

/// Returns once `pid` is gone (reaped), or after a generous time-out.
rt::Task<void> until_reaped(pid_t pid) {
    for (int i = 0; i < 10000 && process_state(pid) != 0; ++i)
        co_await rt::Sleep(1ms);
}

double process_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

TEST_F(EventLoopRouteTest, CancelledTaskLeavesItsChildRunningAndTheChildIsReapedAfterItsEnd) {
    TempDir dir;
    const std::string fifo = make_fifo(dir, "go");
    const std::string pid_fifo = make_fifo(dir, "pid");
    const std::string marker = dir.file("marker");
    auto frame = std::make_shared<int>(0);
    auto handle = runtime_->spawn(capture_until_cancelled(
        shell(R"(echo $$ > "$3"; read x < "$1"; echo "ran to its end" > "$2")",
              {fifo, marker, pid_fifo}),
        frame));
    std::weak_ptr<int> seen = std::exchange(frame, nullptr);
    const pid_t pid = std::stoi(read_file(pid_fifo));

    handle.cancel();
    // Once the frame is gone, the handle has given the child to the orphan list.
    runtime_->block_on(pacpick::testing::until_gone(seen));
    // Another child's end runs the orphan pass, which finds this one running:
    // it stays on the list, and waiting for it costs nothing.
    ASSERT_TRUE(run_captured_blocking(shell("exit 0")).ok());
    const double before = process_cpu_ms();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(process_cpu_ms() - before, 100) << "the program spun while nothing happened";
    const char state = process_state(pid);
    EXPECT_TRUE(state != 0 && state != 'Z') << "state " << state;

    release(fifo, "go\n");
    runtime_->block_on(until_reaped(pid));
    EXPECT_EQ(process_state(pid), 0) << "the child was not reaped";
    EXPECT_EQ(read_file(marker), "ran to its end\n");
}

TEST_F(EventLoopRouteTest, ASignalPassedOnReachesTheForegroundCommand) {
    auto status = runtime_->block_on([]() -> rt::Task<Result<ExitStatus>> {
        auto run = run_foreground(shell("exec sleep 5"));
        run.send_signal(SIGTERM);
        co_return co_await run;
    }());
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(*status, ExitStatus(SIGTERM));
}

rt::Task<void> capture_until_dropped(ChildCommand command,
                                     std::shared_ptr<std::atomic<bool>> completed) {
    auto run = run_captured(std::move(command));
    [[maybe_unused]] auto output = co_await run;
    completed->store(true);
}

/// Kills `pid` unless disarmed within a generous deadline, so that a test whose
/// runtime never lets go of a child fails instead of hanging.
class Watchdog {
  public:
    explicit Watchdog(pid_t pid)
        : thread_([this, pid] {
              std::unique_lock lock(mutex_);
              if (!changed_.wait_for(lock, 60s, [this] { return disarmed_; })) {
                  fired_.store(true);
                  kill(pid, SIGKILL);
              }
          }) {}
    ~Watchdog() { disarm(); }

    void disarm() {
        {
            std::lock_guard lock(mutex_);
            disarmed_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool fired() const { return fired_.load(); }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool disarmed_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_;  // last: it uses the members above
};

TEST(EventLoopShutdownTest, OneWorkerServesOthersAndShutsDownWhileAChildWritesForever) {
    auto completed = std::make_shared<std::atomic<bool>>(false);
    auto built = rt::Runtime::build(1);
    ASSERT_TRUE(built.ok());
    auto runtime = std::move(built).value();
    TempDir dir;
    const std::string pid_fifo = make_fifo(dir, "pid");
    runtime->spawn(capture_until_dropped(shell(R"(echo $$ > "$1"; exec cat /dev/zero)", {pid_fifo}),
                                         completed));
    const pid_t pid = std::stoi(read_file(pid_fifo));
    Watchdog watchdog(pid);

    // The only worker is reading a pipe that is never empty; a sleeping task
    // still gets its turn, and shutdown returns without the child ending.
    auto [slept_tx, slept_rx] = rt::make_channel<int>();
    runtime->spawn([](rt::Sender<int> tx) -> rt::Task<void> {
        co_await rt::Sleep(1ms);
        tx.send(1);
    }(slept_tx));
    EXPECT_TRUE(runtime->block_on(receive(slept_rx)).has_value());
    EXPECT_FALSE(completed->load());
    runtime->shutdown();
    watchdog.disarm();
    EXPECT_FALSE(watchdog.fired()) << "the child had to be killed for the test to go on";
    EXPECT_FALSE(completed->load()) << "the capture ran to an end instead of being dropped";

    // Never killed by the runtime: it ends when it writes to the pipe that the
    // dropped capture closed (and is collected at once if that happened before
    // the capture let go of it).
    int status = 0;
    if (waitpid(pid, &status, 0) == pid) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "status " << status;
    } else {
        EXPECT_EQ(errno, ECHILD);
    }
}

rt::Task<Result<CommandOutput>> capture(ChildCommand command) {
    auto run = run_captured(std::move(command));
    co_return co_await run;
}

rt::Task<OutputPair> capture_two(ChildCommand first, ChildCommand second) {
    auto a = run_captured(std::move(first));
    auto b = run_captured(std::move(second));
    auto [ra, rb] = co_await rt::Join(a, b);
    co_return OutputPair(std::move(ra), std::move(rb));
}

TEST(SigchldRouteTest, KernelLackingProcessDescriptorsIsAskedOnceASandboxRefusingThemForEachChild) {
    // ENOSYS: the kernel lacks the call. EPERM, from a sandbox, holds for one child.
    for (const auto& [error, calls] : {std::pair{ENOSYS, "1"}, std::pair{EPERM, "4"}}) {
        pacpick::testing::ForkedChild child([refusal = error](int) -> std::string {
            if (!pacpick::testing::count_refused_calls({SYS_pidfd_open}, refusal)) {
                return "no seccomp filter";
            }
            auto runtime = make_runtime();
            auto one = runtime->block_on(capture(shell("echo one")));
            auto both =
                runtime->block_on(capture_two(shell("sleep 0.05; echo two"), shell("exit 4")));
            auto last = runtime->block_on(capture(shell("echo three >&2")));
            if (!one.ok() || !both.first.ok() || !both.second.ok() || !last.ok()) {
                return "a capture failed";
            }
            return one->stdout_data + both.first->stdout_data + last->stderr_data + "exit " +
                   std::to_string(both.second->status.exit_code().value_or(-1)) + ", " +
                   std::to_string(pacpick::testing::refused_calls()) + " asked" +
                   (rt::signal_count(SIGCHLD) > 0 ? ", SIGCHLD heard" : "");
        });
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.finish(),
                  std::string("one\ntwo\nthree\nexit 4, ") + calls + " asked, SIGCHLD heard")
            << strerror(error);
    }
}

/// This process's children, ended or not, as /proc lists them.
std::string children_of_this_process() {
    std::string children;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        children += read_file(task.path().string() + "/children");
    }
    return children;
}

/// Waits, to a deadline, until `condition` holds.
bool within_ten_seconds(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::string sigchld_action() {
    struct sigaction action {};
    sigaction(SIGCHLD, nullptr, &action);
    return action.sa_handler == SIG_DFL ? "default" : "noticed";
}

/// On the SIGCHLD route from a fresh process: the action stays the default
/// until the first wait through it, and children that end before the first
/// poll, after it, or abandoned are all collected.
std::string sigchld_from_the_first_wait() {
    std::string report = sigchld_action();
    if (!pacpick::testing::count_refused_calls({SYS_pidfd_open}, ENOSYS)) {
        return "no seccomp filter";
    }
    TempDir dir;
    const std::string late_fifo = make_fifo(dir, "late");
    const std::string abandoned_fifo = make_fifo(dir, "abandoned");
    auto runtime = make_runtime();
    auto early = run_captured(shell("echo early"));
    // Ended before anything polls for it: a zombie until collected.
    within_ten_seconds([] {
        const std::string children = children_of_this_process();
        return !children.empty() && process_state(std::stoi(children)) == 'Z';
    });
    auto [to_test, results] = rt::make_channel<std::string>();
    runtime->spawn([](CapturedRun early, CapturedRun late,
                      rt::Sender<std::string> out) -> rt::Task<void> {
        auto first = co_await early;
        out.send(first ? first->stdout_data : "failed");
        auto second = co_await late;
        out.send(second ? second->stdout_data : "failed");
    }(std::move(early), run_captured(shell(R"(read x < "$1"; echo late)", {late_fifo})), to_test));
    report += " " + runtime->block_on(receive(results)).value_or("none");
    report += sigchld_action();
    release(late_fifo, "go\n");
    report += " " + runtime->block_on(receive(results)).value_or("none");
    { auto dropped = run_captured(shell(R"(read x < "$1")", {abandoned_fifo})); }
    release(abandoned_fifo, "go\n");
    return report + (within_ten_seconds([] { return children_of_this_process().empty(); })
                         ? " all collected"
                         : " left: " + children_of_this_process());
}

TEST(SigchldRouteTest, TheHandlerComesWithTheFirstWaitAndEveryChildIsCollected) {
    // A fresh process: listeners made by other tests would have installed it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            fprintf(stderr, "%s", sigchld_from_the_first_wait().c_str());
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "^default early\nnoticed late\n all collected$");
}

TEST(EventLoopRunTest, StartFailureIsReadyAtTheFirstPoll) {
    auto runtime = make_runtime();
    const rt::Waker nobody;
    auto captured = run_captured(ChildCommand{"pacpick-no-such-program", {}});
    auto polled = captured.poll(nobody);
    ASSERT_TRUE(polled.ready());
    auto captured_result = polled.take();
    ASSERT_FALSE(captured_result.ok());
    EXPECT_EQ(captured_result.error().kind(), ErrorKind::NotFound);

    auto foreground = run_foreground(ChildCommand{"sh", {"-c", std::string("\0", 1)}});
    auto foreground_polled = foreground.poll(nobody);
    ASSERT_TRUE(foreground_polled.ready());
    auto foreground_result = foreground_polled.take();
    ASSERT_FALSE(foreground_result.ok());
    EXPECT_EQ(foreground_result.error().kind(), ErrorKind::InvalidInput);
}

/// Points this process's stdin and stdout at a terminal for a while.
class StdioOnTerminal {
  public:
    explicit StdioOnTerminal(int terminal) {
        for (int fd : {0, 1}) {
            saved_[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            dup2(terminal, fd);
        }
    }
    ~StdioOnTerminal() {
        for (int fd : {0, 1}) {
            dup2(saved_[fd], fd);
            close(saved_[fd]);
        }
    }

  private:
    int saved_[2];
};

/// Reads the terminal's master side until `text` has appeared.
std::string read_until(int master, const std::string& text) {
    std::string seen;
    char buffer[256];
    while (seen.find(text) == std::string::npos) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return seen;
}

rt::Task<void> run_in_foreground(ChildCommand command, rt::Sender<Result<ExitStatus>> tx) {
    auto run = run_foreground(std::move(command));
    tx.send(co_await run);
}

TEST(ForegroundTest, ChildTalksToTheUserOnTheProgramsTerminal) {
    int master = -1;
    int terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    auto runtime = make_runtime();
    auto [tx, rx] = rt::make_channel<Result<ExitStatus>>();
    std::optional<Result<ExitStatus>> status;
    std::string prompt;
    {
        StdioOnTerminal redirect(terminal);
        runtime->spawn(run_in_foreground(
            shell(R"(printf 'Password: '; read answer; echo "answer=[$answer]"; exit 2)"), tx));
        prompt = read_until(master, "Password: ");
        ASSERT_EQ(::write(master, "s3cret\n", 7), 7);
        status = runtime->block_on(receive(rx));
    }
    const std::string rest = read_until(master, "answer=[s3cret]");
    close(master);
    close(terminal);
    EXPECT_NE(prompt.find("Password: "), std::string::npos) << prompt;
    EXPECT_NE(rest.find("answer=[s3cret]"), std::string::npos) << rest;
    ASSERT_TRUE(status.has_value() && status->ok());
    EXPECT_EQ((*status)->exit_code(), 2);
}

}  // namespace
}  // namespace pacpick::process
