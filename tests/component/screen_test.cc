#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>
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

TEST_F(TerminalSizeTest, ReadsTheControllingTerminalsWindowEvenAZeroOneWithoutAskingTput) {
    for (const auto& [columns, rows, expected] :
         {std::tuple<uint16_t, uint16_t, const char*>{132, 43, "132x43"}, {0, 0, "0x0"}}) {
        Pty pty = Pty::open(columns, rows);
        ForkedChild child([&](int) -> std::string {
            if (!testing::take_controlling_terminal(pty.slave.get()) ||
                !testing::redirect_to_null(1)) {
                return "setup failed";
            }
            use_stand_in("80", "24");
            return size_outcome(terminal_size());
        });
        pty.slave.reset();
        EXPECT_EQ(child.finish(), expected);
        EXPECT_EQ(read_file(log_), "");
    }
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

TEST_F(TerminalSizeTest, JoinsTheDigitsTputPrintsAndAsksForBothCapabilities) {
    // cols, lines, the exit status of `tput cols`, and the size or error.
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"80\\n", "24\\n", "0", "80x24"},      {"8 0", "2x4", "0", "80x24"},
        {"70000", "65535", "0", "4464x65535"}, {"100", "50", "3", "100x50"},  // a failing tput
        {"000", "24", "0", "error"},           {"", "24", "1", "error"},
        {"80", "65536", "0", "error"},
    };
    for (const auto& [cols, lines, status, size] : cases) {
        EXPECT_EQ(size_without_terminal(cols, lines, status),
                  std::string(size) + " asked:cols\nlines\n")
            << cols << " " << lines;
    }
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

TEST(ScreenGuardTest, GivesBackWhatItTookWhenAStepFails) {
    ForkedChild no_terminal([](int) -> std::string {
        CapturePipe output;
        if (!testing::detach_from_terminal() || !testing::redirect_to_null(0) ||
            !testing::redirect(output.write_end.get(), 1)) {
            return "setup failed";
        }
        auto guard = ScreenGuard::acquire();
        (void)standard_output().flush();
        const std::string seen =
            (guard ? std::string("held") : guard.error().describe()) + " " + active();
        return testing::redirect_to_null(1) ? seen + " wrote:" + output.rest() : "no null";
    });
    EXPECT_EQ(
        no_terminal.finish(),
        R"(Os { code: 6, kind: Uncategorized, message: "No such device or address" } cooked wrote:)");

    auto [hidden, screen] = on_terminal([] {
        signal(SIGPIPE, SIG_IGN);
        CapturePipe pipe;
        pipe.read_end.reset();
        dup2(pipe.write_end.get(), STDOUT_FILENO);
        auto guard = ScreenGuard::acquire();
        return (guard ? std::string("held") : guard.error().describe()) + " " + active();
    });
    EXPECT_EQ(hidden, R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" } cooked)");
    EXPECT_EQ(screen, "");

    auto [released, left] = on_terminal([] {
        auto guard = ScreenGuard::acquire();
        if (!guard) {
            return guard.error().describe();
        }
        // Every write of the release fails now, with ENOSPC.
        dup2(UniqueFd(::open("/dev/full", O_WRONLY | O_CLOEXEC)).get(), STDOUT_FILENO);
        std::move(*guard).release();
        return active();
    });
    EXPECT_EQ(released, "cooked");
    EXPECT_EQ(left, kHide);
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
