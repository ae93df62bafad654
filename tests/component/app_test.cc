#include "main/app.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "forked_child.h"
#include "main/entry.h"
#include "main/seams.h"
#include "process_helpers.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"

namespace pacpick {
namespace {

using namespace std::chrono_literals;
using testing::ForkedChild;
using testing::Pty;

const std::string kRestore = "\x1b[?25h\x1b[2J\x1b[1;1H";

/// The pty's master side as the user's terminal: what the program wrote so far,
/// read as it comes, and keys typed.
class UserSide {
  public:
    explicit UserSide(int master) : master_(master) {}

    /// Reads until `seen` holds for everything written so far; false at the deadline.
    bool wait_for(const std::function<bool(const std::string&)>& seen,
                  std::chrono::seconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!seen(written_)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) {
                return false;
            }
        }
        return true;
    }
    bool wait_for_text(const std::string& text, std::chrono::seconds limit = 10s) {
        return wait_for([&text](const std::string& all) { return all.find(text) != all.npos; },
                        limit);
    }
    /// The number of frames drawn so far (each begins with a screen clear).
    size_t frames() const {
        size_t count = 0;
        for (size_t at = written_.find("\x1b[2J"); at != written_.npos;
             at = written_.find("\x1b[2J", at + 1)) {
            ++count;
        }
        return count;
    }
    /// Everything still unread, once every holder of the program's side is gone.
    void read_to_end() {
        while (read_some(10000)) {
        }
    }
    void type(const std::string& keys) {
        ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    const std::string& written() const { return written_; }

  private:
    bool read_some(int timeout_ms) {
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, timeout_ms) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n <= 0) {
            return false;  // EIO: the program's side is closed
        }
        written_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int master_;
    std::string written_;
};

/// In the forked child: the pty as controlling terminal and standard streams.
bool use_as_terminal(int slave) {
    return testing::take_controlling_terminal(slave) && testing::redirect(slave, 0) &&
           testing::redirect(slave, 1) && testing::redirect(slave, 2);
}

/// Sanitizer builds report on the child's standard error, the pty: a report
/// there fails the test like one in the test process would.
bool has_sanitizer_report(const std::string& screen) {
    return screen.find("Sanitizer") != std::string::npos ||
           screen.find("runtime error") != std::string::npos;
}

std::string exit_report(int status) {
    return "exit " + std::to_string(status);
}

// -- A stop signal that arrives after the loop's last look -------------------

int g_signal_to_raise = 0;

/// Raises the signal while the loop polls for its next event and answers that
/// very poll with Esc: the signal has arrived, but the loop ends as if on a
/// quit key, the stop request already looked at or never looked at again.
class SignalThenEsc final : public EventSource {
  public:
    rt::Poll<Result<term::TerminalEvent>> poll(const rt::Waker&) override {
        raise(g_signal_to_raise);
        return Result<term::TerminalEvent>(term::TerminalEvent(term::KeyEvent{
            term::KeyCode::of(term::KeyCode::Kind::Esc), {}, term::KeyKind::Press, {}}));
    }
};

Result<std::unique_ptr<EventSource>> open_signal_then_esc() {
    return std::unique_ptr<EventSource>(std::make_unique<SignalThenEsc>());
}

struct Ended {
    int wait_status;
    std::string report;
    std::string screen;
    bool terminal_restored;
};

/// Runs the main task on a fresh pty with `signal_number` arriving late, or
/// with the events `open` gives.
Ended run_with_late_signal(int signal_number, bool started_ignored,
                           EventSourceOpener open = open_signal_then_esc) {
    Pty pty = Pty::open();
    termios before{};
    tcgetattr(pty.master.get(), &before);
    ForkedChild child([&](int) -> std::string {
        if (!use_as_terminal(pty.slave.get())) {
            return "setup failed";
        }
        // Whatever the test was started with (nohup ignores SIGHUP).
        signal(signal_number, started_ignored ? SIG_IGN : SIG_DFL);
        g_signal_to_raise = signal_number;
        const int status = run_entry([open] { return main_task(open); });
        struct sigaction after {};
        sigaction(signal_number, nullptr, &after);
        return exit_report(status) + (after.sa_handler == SIG_IGN ? ", still ignored" : "");
    });
    pty.slave.reset();
    Ended ended;
    ended.report = child.finish();
    ended.wait_status = child.status();
    ended.screen = pty.drain_master();
    termios after{};
    tcgetattr(pty.master.get(), &after);
    ended.terminal_restored = after.c_lflag == before.c_lflag && after.c_iflag == before.c_iflag &&
                              after.c_oflag == before.c_oflag;
    return ended;
}

TEST(MainTaskTest, ATerminationSignalAfterTheLoopsLastLookEndsTheProgramByIt) {
    for (int signal_number : {SIGTERM, SIGHUP}) {
        const Ended ended = run_with_late_signal(signal_number, false);
        ASSERT_TRUE(WIFSIGNALED(ended.wait_status))
            << strsignal(signal_number) << " was lost; the child reported: " << ended.report;
        EXPECT_EQ(WTERMSIG(ended.wait_status), signal_number);
        EXPECT_TRUE(ended.terminal_restored) << strsignal(signal_number);
        EXPECT_TRUE(ended.screen.ends_with(kRestore)) << strsignal(signal_number);
        EXPECT_FALSE(has_sanitizer_report(ended.screen)) << ended.screen;
    }
}

TEST(MainTaskTest, AHangUpTheProgramWasStartedIgnoringIsIgnoredAndStaysIgnored) {
    const Ended ended = run_with_late_signal(SIGHUP, true);
    EXPECT_EQ(ended.report, "exit 0, still ignored");
    EXPECT_TRUE(ended.terminal_restored);
    EXPECT_TRUE(ended.screen.ends_with(kRestore));
    EXPECT_FALSE(has_sanitizer_report(ended.screen)) << ended.screen;
}

/// A query with a fault in the program: it throws what no task can take.
/// Should the program survive it, Esc ends the loop after a while.
class FaultyQuery final : public EventSource {
  public:
    rt::Poll<Result<term::TerminalEvent>> poll(const rt::Waker& waker) override {
        if (started_) {
            return Result<term::TerminalEvent>(term::TerminalEvent(term::KeyEvent{
                term::KeyCode::of(term::KeyCode::Kind::Esc), {}, term::KeyKind::Press, {}}));
        }
        started_ = true;
        query_ = rt::spawn([]() -> rt::Task<void> {
            co_await rt::Sleep(1ms);
            throw std::out_of_range("the query's fault");
        }());
        patience_ = rt::spawn([](rt::Waker loop) -> rt::Task<void> {
            co_await rt::Sleep(5s);
            loop.wake();
        }(waker));
        return rt::Poll<Result<term::TerminalEvent>>::pending();
    }

  private:
    bool started_ = false;
    rt::JoinHandle query_;
    rt::JoinHandle patience_;
};

TEST(MainTaskTest, AFaultInASpawnedTaskEndsTheProgramThroughTheLastResort) {
    const Ended ended = run_with_late_signal(0, false, [] {
        return Result<std::unique_ptr<EventSource>>(std::make_unique<FaultyQuery>());
    });
    ASSERT_TRUE(WIFSIGNALED(ended.wait_status)) << ended.report;
    EXPECT_EQ(WTERMSIG(ended.wait_status), SIGABRT);
    EXPECT_TRUE(ended.terminal_restored);
    EXPECT_NE(ended.screen.find("\x1b[?25h"), std::string::npos);
    EXPECT_NE(ended.screen.find("std::out_of_range"), std::string::npos) << ended.screen;
}

// -- Keys typed at the command's prompt --------------------------------------

/// Stand-ins for pacman and sudo: one package, and an install that asks for a
/// line on the terminal and shows what it got.
struct OnePackageStandIns : process::test::StandIns {
    OnePackageStandIns() {
        add("pacman", R"(case "$1" in
    -Slq) echo pkg ;;
    -Si) printf 'Version : 1-1\nDescription : a package\n' ;;
    -Q) exit 1 ;;
    -S) printf '[sudo] password: '; IFS= read -r line; printf 'got:%s\n' "$line" ;;
esac
)");
        add("sudo", "exec \"$@\"\n");
    }
};

/// The whole program on a pseudo-terminal among those stand-ins, in a forked
/// child, the package's details on screen when a test begins.
class OnePackageProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        pty.slave.reset();
        ASSERT_TRUE(user.wait_for_text("[install] "));
        user.type("p");
        ASSERT_TRUE(user.wait_for_text("a package")) << user.written();
    }

    OnePackageStandIns stand_ins;
    Pty pty = Pty::open();
    ForkedChild child{[this](int) -> std::string {
        return use_as_terminal(pty.slave.get())
                   ? exit_report(run_entry([] { return main_task(open_terminal_events); }))
                   : "setup failed";
    }};
    UserSide user{pty.master.get()};
};

TEST_F(OnePackageProgram, AContinueMakesTheTerminalRawAgainAndRedraws) {
    // What a shell does with the terminal while the program is stopped.
    termios shells{};
    tcgetattr(pty.master.get(), &shells);
    shells.c_lflag |= ICANON | ECHO;
    tcsetattr(pty.master.get(), TCSANOW, &shells);
    const size_t frames = user.frames();
    kill(child.pid(), SIGCONT);
    EXPECT_TRUE(user.wait_for([&](const std::string&) { return user.frames() > frames; }));
    tcgetattr(pty.master.get(), &shells);
    EXPECT_EQ(shells.c_lflag & (ICANON | ECHO), 0u) << "the terminal was left as the shell set it";
    user.type("\x1b");
    EXPECT_EQ(child.finish(), "exit 0");
}

/// The program's event source, with a termination signal arriving as it is
/// closed: the loop has ended on Enter, and the screen is about to be given
/// back for the command.
class TerminatedAtHandOver final : public EventSource {
  public:
    explicit TerminatedAtHandOver(std::unique_ptr<EventSource> events)
        : events_(std::move(events)) {}
    ~TerminatedAtHandOver() override {
        events_.reset();
        raise(SIGTERM);
    }
    rt::Poll<Result<term::TerminalEvent>> poll(const rt::Waker& waker) override {
        return events_->poll(waker);
    }

  private:
    std::unique_ptr<EventSource> events_;
};

TEST(MainTaskTest, ATerminationAtTheHandOverEndsTheProgramAndNoCommandStarts) {
    OnePackageStandIns dir;
    dir.add("sudo", "echo started > \"$0.started\"; exec \"$@\"\n");
    Pty pty = Pty::open();
    ForkedChild child([&](int) -> std::string {
        if (!use_as_terminal(pty.slave.get())) {
            return "setup failed";
        }
        signal(SIGTERM, SIG_DFL);  // whatever the test was started with
        return exit_report(run_entry([] {
            return main_task([]() -> Result<std::unique_ptr<EventSource>> {
                auto events = open_terminal_events();
                if (!events) {
                    return std::move(events).error();
                }
                return std::unique_ptr<EventSource>(
                    std::make_unique<TerminatedAtHandOver>(std::move(*events)));
            });
        }));
    });
    pty.slave.reset();
    UserSide user(pty.master.get());
    ASSERT_TRUE(user.wait_for_text("[install] "));
    user.type("p");
    ASSERT_TRUE(user.wait_for_text("a package")) << user.written();
    user.type("\r");
    const std::string report = child.finish();
    ASSERT_TRUE(WIFSIGNALED(child.status())) << report;
    EXPECT_EQ(WTERMSIG(child.status()), SIGTERM);
    user.read_to_end();
    EXPECT_TRUE(user.written().ends_with(kRestore)) << user.written();
    EXPECT_EQ(user.written().find("Running pacman"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("sudo.started"))) << "the command started";
}

TEST_F(OnePackageProgram, EveryByteTypedAfterTheLoopEndsReachesTheForegroundCommand) {
    user.type("\r");

    ASSERT_TRUE(user.wait_for_text("[sudo] password: ")) << user.written();
    user.type("secret\n");
    EXPECT_TRUE(user.wait_for_text("got:secret\r\n", 5s))
        << "the line typed at the command's prompt did not reach it whole:\n"
        << user.written().substr(user.written().rfind("\x1b[2J"));
    if (!::testing::Test::HasFailure()) {
        EXPECT_EQ(child.finish(), "exit 0");
        user.read_to_end();
        EXPECT_FALSE(has_sanitizer_report(user.written())) << user.written();
    }
}

}  // namespace
}  // namespace pacpick
