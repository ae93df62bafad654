#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "../support/name_lists.h"
#include "forked_child.h"
#include "process_helpers.h"
#include "screen/frame.h"
#include "screen/output_stream.h"
#include "screen/screen_guard.h"
#include "screen/terminal_size.h"
#include "term/raw_mode.h"

namespace pacpick::screen {
namespace {

using process::test::read_file;
using testing::ForkedChild;
using testing::Pty;

std::string outcome(const Result<void>& r) {
    return r ? "ok" : r.error().describe();
}

std::string size_outcome(const Result<TerminalSize>& r) {
    if (!r) {
        return "error";
    }
    return std::to_string(r->columns.value) + "x" + std::to_string(r->rows.value);
}

std::string active() {
    return term::raw_mode_active() ? "raw" : "cooked";
}

/// A pipe for a child's standard output, read by the parent once the child ends.
struct CapturePipe {
    UniqueFd read_end;
    UniqueFd write_end;
    CapturePipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            read_end.reset(ends[0]);
            write_end.reset(ends[1]);
        }
    }
    std::string rest() {
        write_end.reset();
        std::string out;
        char chunk[1024];
        ssize_t n;
        while ((n = ::read(read_end.get(), chunk, sizeof chunk)) > 0) {
            out.append(chunk, static_cast<size_t>(n));
        }
        return out;
    }
};

/// A directory holding a stand-in `tput` that prints what the environment tells
/// it to and logs each capability it was asked for, one per line.
class StandInTput : public ::testing::Test {
  protected:
    void SetUp() override {
        stand_ins_.add("tput",
                       "echo \"$1\" >> \"$TPUT_LOG\"\n"
                       "case \"$1\" in\n"
                       "  cols) printf \"$TPUT_COLS\"; exit \"${TPUT_COLS_STATUS:-0}\" ;;\n"
                       "  lines) printf \"$TPUT_LINES\"; exit \"${TPUT_LINES_STATUS:-0}\" ;;\n"
                       "esac\n"
                       "exit 1\n");
        log_ = stand_ins_.file("calls");
    }

    /// In a forked child: the stand-in's answers.
    void use_stand_in(const std::string& cols, const std::string& lines,
                      const std::string& cols_status = "0") const {
        setenv("TPUT_LOG", log_.c_str(), 1);
        setenv("TPUT_COLS", cols.c_str(), 1);
        setenv("TPUT_LINES", lines.c_str(), 1);
        setenv("TPUT_COLS_STATUS", cols_status.c_str(), 1);
    }

    /// In a forked child: a PATH on which no `tput` can be found.
    void hide_tput() const { setenv("PATH", "/nonexistent-pacpick-dir", 1); }

    /// The size a child without any terminal gets from the stand-in, followed by
    /// the capabilities the stand-in was asked for.
    std::string size_without_terminal(const std::string& cols, const std::string& lines,
                                      const std::string& cols_status = "0") {
        unlink(log_.c_str());
        ForkedChild child([&](int) -> std::string {
            if (!testing::detach_from_terminal() || !testing::redirect_to_null(1)) {
                return "setup failed";
            }
            use_stand_in(cols, lines, cols_status);
            return size_outcome(terminal_size());
        });
        const std::string size = child.finish();
        return size + " asked:" + read_file(log_);
    }

    process::test::StandIns stand_ins_;
    std::string log_;
};

using TerminalSizeTest = StandInTput;

TEST_F(TerminalSizeTest, ReadsTheControllingTerminalsWindow) {
    Pty pty = Pty::open(132, 43);
    ForkedChild child([&](int) -> std::string {
        if (!testing::take_controlling_terminal(pty.slave.get()) || !testing::redirect_to_null(1)) {
            return "setup failed";
        }
        use_stand_in("1", "1");
        return size_outcome(terminal_size());
    });
    pty.slave.reset();
    EXPECT_EQ(child.finish(), "132x43");
    EXPECT_EQ(read_file(log_), "");
}

TEST_F(TerminalSizeTest, ReturnsAZeroWindowWithoutAskingTput) {
    Pty pty = Pty::open(0, 0);
    ForkedChild child([&](int) -> std::string {
        if (!testing::take_controlling_terminal(pty.slave.get())) {
            return "setup failed";
        }
        use_stand_in("80", "24");
        return size_outcome(terminal_size());
    });
    pty.slave.reset();
    EXPECT_EQ(child.finish(), "0x0");
    EXPECT_EQ(read_file(log_), "");
}

TEST_F(TerminalSizeTest, FallsBackToStandardOutputWithoutControllingTerminal) {
    Pty pty = Pty::open(90, 30);
    ForkedChild child([&](int) -> std::string {
        if (!testing::detach_from_terminal() || !testing::redirect(pty.slave.get(), 1)) {
            return "setup failed";
        }
        return size_outcome(terminal_size());
    });
    pty.slave.reset();
    EXPECT_EQ(child.finish(), "90x30");
}

TEST_F(TerminalSizeTest, JoinsTheDigitsTputPrints) {
    EXPECT_EQ(size_without_terminal("80\\n", "24\\n"), "80x24 asked:cols\nlines\n");
    EXPECT_EQ(size_without_terminal("8 0", "2x4"), "80x24 asked:cols\nlines\n");
    EXPECT_EQ(size_without_terminal("70000", "65535"), "4464x65535 asked:cols\nlines\n");
}

TEST_F(TerminalSizeTest, CountsDigitsFromAFailingTput) {
    EXPECT_EQ(size_without_terminal("100", "50", "3"), "100x50 asked:cols\nlines\n");
}

TEST_F(TerminalSizeTest, FailsWhenEitherCapabilityYieldsNothingYetAsksBoth) {
    EXPECT_EQ(size_without_terminal("000", "24"), "error asked:cols\nlines\n");
    EXPECT_EQ(size_without_terminal("", "24", "1"), "error asked:cols\nlines\n");
    EXPECT_EQ(size_without_terminal("80", "65536"), "error asked:cols\nlines\n");
}

TEST_F(TerminalSizeTest, FailsWhenTputCannotBeFound) {
    ForkedChild child([&](int) -> std::string {
        if (!testing::detach_from_terminal() || !testing::redirect_to_null(1)) {
            return "setup failed";
        }
        hide_tput();
        return size_outcome(terminal_size());
    });
    EXPECT_EQ(child.finish(), "error");
}

const std::string kHide = "\x1b[?25l";
const std::string kRestore = "\x1b[?25h\x1b[2J\x1b[1;1H";

/// Runs `scenario` in a child whose controlling terminal, standard input and
/// standard output are a fresh pty; returns the child's report and, after it,
/// everything the child wrote to the terminal.
std::pair<std::string, std::string> on_terminal(const std::function<std::string()>& scenario,
                                                uint16_t columns = 80, uint16_t rows = 24) {
    Pty pty = Pty::open(columns, rows);
    ForkedChild child([&](int) -> std::string {
        if (!testing::take_controlling_terminal(pty.slave.get()) ||
            !testing::redirect(pty.slave.get(), 0) || !testing::redirect(pty.slave.get(), 1)) {
            return "setup failed";
        }
        return scenario();
    });
    pty.slave.reset();
    std::string report = child.finish();
    return {report, pty.drain_master()};
}

TEST(ScreenGuardTest, HidesTheCursorAndGivesTheTerminalBackOnRelease) {
    auto [report, screen] = on_terminal([] {
        auto guard = ScreenGuard::acquire();
        if (!guard) {
            return guard.error().describe();
        }
        std::string seen = active() + " ";
        std::move(*guard).release();
        return seen + active();
    });
    EXPECT_EQ(report, "raw cooked");
    // Once: the released guard does nothing more when it is destroyed.
    EXPECT_EQ(screen, kHide + kRestore);
}

TEST(ScreenGuardTest, ReleasesExactlyOnceWhenDestroyed) {
    auto [report, screen] = on_terminal([] {
        std::string seen;
        {
            auto guard = ScreenGuard::acquire();
            if (!guard) {
                return guard.error().describe();
            }
            std::optional<ScreenGuard> moved(std::move(*guard));
            seen = active() + " ";
        }  // both the moved-from and the moved-to guard end here
        return seen + active();
    });
    EXPECT_EQ(report, "raw cooked");
    EXPECT_EQ(screen, kHide + kRestore);
}

TEST(ScreenGuardTest, WritesNothingWhenRawModeCannotBeEntered) {
    ForkedChild child([](int) -> std::string {
        if (!testing::detach_from_terminal() || !testing::redirect_to_null(0)) {
            return "setup failed";
        }
        CapturePipe pipe;
        OutputStream stream(pipe.write_end.get());
        auto guard = ScreenGuard::acquire(ScreenWriter(stream));
        (void)stream.flush();
        return (guard ? std::string("held") : guard.error().describe()) + " " + active() +
               " wrote:" + pipe.rest();
    });
    EXPECT_EQ(
        child.finish(),
        R"(Os { code: 6, kind: Uncategorized, message: "No such device or address" } cooked wrote:)");
}

TEST(ScreenGuardTest, LeavesRawModeWhenTheCursorCannotBeHidden) {
    auto [report, screen] = on_terminal([] {
        signal(SIGPIPE, SIG_IGN);
        CapturePipe pipe;
        pipe.read_end.reset();
        OutputStream broken(pipe.write_end.get());
        auto guard = ScreenGuard::acquire(ScreenWriter(broken));
        return (guard ? std::string("held") : guard.error().describe()) + " " + active();
    });
    EXPECT_EQ(report, R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" } cooked)");
    EXPECT_EQ(screen, "");
}

int g_stream_fd = -1;
int g_refused = 0;

/// On a terminal: acquires a guard on a stream of its own onto standard output,
/// then makes that stream's descriptor a pipe nobody reads (each refused write
/// runs `on_refusal`, the SIGPIPE handler) and releases the guard; what stayed
/// in front then goes to the terminal. Answers raw mode's state and the count
/// of refusals.
std::string release_into_a_broken_pipe(void (*on_refusal)(int)) {
    struct sigaction action {};
    action.sa_handler = on_refusal;
    sigaction(SIGPIPE, &action, nullptr);
    g_stream_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    OutputStream stream(g_stream_fd);
    auto guard = ScreenGuard::acquire(ScreenWriter(stream));
    if (!guard) {
        return guard.error().describe();
    }
    CapturePipe broken;
    broken.read_end.reset();
    dup2(broken.write_end.get(), g_stream_fd);
    std::move(*guard).release();
    dup2(STDOUT_FILENO, g_stream_fd);
    (void)stream.flush();
    return active() + " refused:" + std::to_string(g_refused);
}

TEST(ScreenGuardTest, LeavesRawModeEvenWhenTheRestoreWritesFail) {
    auto [report, screen] =
        on_terminal([] { return release_into_a_broken_pipe([](int) { ++g_refused; }); });
    // The first restore is refused and stays in front; the second try offers
    // it again with its own commands, and is refused too.
    EXPECT_EQ(report, "cooked refused:2");
    EXPECT_EQ(screen, kHide + kRestore + kRestore);
}

TEST(ScreenGuardTest, TriesTheRestoreOnceMoreWhenTheTerminalRefusesAWrite) {
    auto [report, screen] = on_terminal([] {
        return release_into_a_broken_pipe([](int) {
            ++g_refused;
            dup2(STDOUT_FILENO, g_stream_fd);  // the next write goes through
        });
    });
    // The refused bytes stay in front and go out with the second sequence.
    EXPECT_EQ(report, "cooked refused:1");
    EXPECT_EQ(screen, kHide + kRestore + kRestore);
}

TEST(DrawScreenTest, DrawsForTheTerminalsOwnSize) {
    auto [report, screen] = on_terminal(
        [] {
            const NameList matches = names_of({"vim", "vi"});
            return outcome(draw_screen({"vi", matches, 0, nullptr}, Mode::Install));
        },
        20, 10);
    EXPECT_EQ(report, "ok");
    EXPECT_EQ(screen,
              "\x1b[2J\x1b[5;1H> vim\x1b[4;1H  vi\x1b[6;1H--------------------\x1b[7;1H[install] vi"
              "\x1b[8;1H\x1b[9;1H\x1b[10;1H\x1b[7;13H");
}

TEST_F(StandInTput, DrawScreenWritesNothingWithoutASize) {
    CapturePipe output;
    ForkedChild child([&](int) -> std::string {
        if (!testing::detach_from_terminal() || !testing::redirect(output.write_end.get(), 1)) {
            return "setup failed";
        }
        hide_tput();
        const NameList matches = names_of({"vim"});
        auto drawn = draw_screen({"vi", matches, 0, nullptr}, Mode::Install);
        (void)standard_output().flush();  // nothing may have been kept back either
        return drawn ? "drawn" : "failed";
    });
    EXPECT_EQ(child.finish(), "failed");
    EXPECT_EQ(output.rest(), "");
}

}  // namespace
}  // namespace pacpick::screen
