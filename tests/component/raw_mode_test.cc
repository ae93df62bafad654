#include "term/raw_mode.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include "../support/sanitizers.h"
#include "forked_child.h"

namespace pacpick::term {
namespace {

using testing::ForkedChild;
using testing::Pty;

bool same_attributes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc) &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

bool is_raw(const termios& t) {
    return (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
           (t.c_iflag & (ICRNL | IXON)) == 0 && (t.c_oflag & OPOST) == 0 &&
           (t.c_cflag & CSIZE) == CS8 && t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0;
}

std::string read_attributes(int fd, termios& out) {
    return tcgetattr(fd, &out) == 0 ? "" : "tcgetattr failed; ";
}

std::set<std::string> open_descriptors() {
    std::set<std::string> names;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            names.insert(entry->d_name);
        }
        closedir(dir);
    }
    return names;
}

std::string outcome(const Result<void>& r) {
    return r ? "ok" : r.error().describe();
}

TEST(RawModeTest, EnteringTwiceThenLeavingOnceRestoresTheAttributesFoundBefore) {
    Pty pty = Pty::open();
    ASSERT_TRUE(pty.master.valid());
    ForkedChild child([&](int) -> std::string {
        if (!testing::take_controlling_terminal(pty.slave.get()) ||
            !testing::redirect(pty.slave.get(), 0)) {
            return "setup failed";
        }
        // Start from attributes a raw switch would not produce by accident.
        termios before{};
        std::string report = read_attributes(0, before);
        before.c_lflag |= ECHOE | ECHOK;
        before.c_cc[VERASE] = 0x08;
        tcsetattr(0, TCSANOW, &before);
        report += read_attributes(0, before);

        termios first{}, second{}, after{};
        report += "enter " + outcome(enter_raw_mode()) + "; ";
        report += read_attributes(0, first);
        report += "enter " + outcome(enter_raw_mode()) + "; ";
        report += read_attributes(0, second);
        report += std::string("active ") + (raw_mode_active() ? "yes" : "no") + "; ";
        report += "leave " + outcome(leave_raw_mode()) + "; ";
        report += read_attributes(0, after);
        report += std::string("active ") + (raw_mode_active() ? "yes" : "no") + "; ";
        report += std::string("raw ") +
                  (is_raw(first) && same_attributes(first, second) ? "yes" : "no") + "; ";
        report += std::string("restored ") + (same_attributes(before, after) ? "yes" : "no");
        return report;
    });
    pty.slave.reset();
    EXPECT_EQ(child.finish(),
              "enter ok; enter ok; active yes; leave ok; active no; raw yes; restored yes");
}

TEST(RawModeTest, ControlCharactersArriveAsBytesOnceRaw) {
    Pty pty = Pty::open();
    ASSERT_TRUE(pty.master.valid());
    ForkedChild child([&](int report_fd) -> std::string {
        if (!testing::take_controlling_terminal(pty.slave.get()) ||
            !testing::redirect(pty.slave.get(), 0)) {
            return "setup failed\n";
        }
        ForkedChild::send(report_fd, "enter " + outcome(enter_raw_mode()) + "\n");
        // Cooked, Ctrl+C would end this process and CR would arrive as LF.
        std::string got;
        pollfd input{0, POLLIN, 0};
        for (int count = 0; count < 2 && poll(&input, 1, 10000) == 1; ++count) {
            char byte;
            if (::read(0, &byte, 1) != 1) {
                break;
            }
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x ", static_cast<unsigned char>(byte));
            got += hex;
        }
        return got;
    });
    pty.slave.reset();
    ASSERT_EQ(child.read_line(), "enter ok");
    ASSERT_EQ(::write(pty.master.get(), "\x03\r", 2), 2);
    EXPECT_EQ(child.finish(), "03 0d ");
    EXPECT_TRUE(WIFEXITED(child.status()));
}

TEST(RawModeTest, UsesAndClosesTheControllingTerminalWhenInputIsAFile) {
    Pty pty = Pty::open();
    ASSERT_TRUE(pty.master.valid());
    char path[] = "/tmp/pacpick-stdin-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    ForkedChild child([&](int) -> std::string {
        const int terminal = pty.slave.get();  // kept only to look at the attributes
        if (!testing::take_controlling_terminal(terminal) || !testing::redirect(file, 0)) {
            return "setup failed";
        }
        termios before{}, during{}, after{};
        std::string report = read_attributes(terminal, before);
        const std::set<std::string> open_before = open_descriptors();
        report += "enter " + outcome(enter_raw_mode()) + "; ";
        report +=
            std::string("fds ") + (open_descriptors() == open_before ? "same" : "changed") + "; ";
        report += read_attributes(terminal, during);
        give_back_attributes_from_handler();  // opens the terminal too, and closes it
        report += "leave " + outcome(leave_raw_mode()) + "; ";
        report +=
            std::string("fds ") + (open_descriptors() == open_before ? "same" : "changed") + "; ";
        report += read_attributes(terminal, after);
        report += std::string("raw ") + (is_raw(during) ? "yes" : "no") + "; ";
        report += std::string("restored ") + (same_attributes(before, after) ? "yes" : "no");
        return report;
    });
    ::close(file);
    pty.slave.reset();
    EXPECT_EQ(child.finish(), "enter ok; fds same; leave ok; fds same; raw yes; restored yes");
}

TEST(RawModeTest, WithoutAnyTerminalLeavingTouchesNothingAndEnteringFailsWithTheOpenError) {
    ForkedChild child([](int) -> std::string {
        // With no terminal at all, any attempt to reach one would fail.
        if (!testing::detach_from_terminal() || !testing::redirect_to_null(0)) {
            return "setup failed";
        }
        std::string report = "leave " + outcome(leave_raw_mode()) + "; ";
        report += "enter " + outcome(enter_raw_mode());
        return report + "; active " + (raw_mode_active() ? "yes" : "no");
    });
    EXPECT_EQ(
        child.finish(),
        R"(leave ok; enter Os { code: 6, kind: Uncategorized, message: "No such device or address" }; active no)");
}

/// Moves the foreground of terminal 0 to `group`, as a shell does, with
/// SIGTTOU held off so that a process in the background may do it too.
bool give_foreground_to(pid_t group) {
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, nullptr);
    const bool moved = tcsetpgrp(0, group) == 0;
    pthread_sigmask(SIG_UNBLOCK, &ttou, nullptr);
    return moved;
}

void take_foreground(int) {
    tcsetpgrp(0, getpgrp());  // allowed: SIGTTOU is held off inside its own handler
}

/// What a process of its own group, holding the terminal's foreground and raw
/// mode, sees when that foreground goes back to the session's leader (`shell`).
using BackgroundScene = std::string (*)(pid_t shell);

struct BackgroundCase {
    const char* name;
    BackgroundScene scene;
    const char* expected;
    bool needs_prompt_handlers = false;
};

const BackgroundCase kBackgroundCases[] = {
    {"RetakingAfterTheShellChangedTheTerminalMakesItRawAgain",
     [](pid_t) -> std::string {
         termios raw{}, cooked{}, again{};
         std::string report = read_attributes(0, raw);
         cooked = raw;
         cooked.c_lflag |= ICANON | ECHO;
         tcsetattr(0, TCSANOW, &cooked);
         report += "retake " + outcome(reenter_raw_mode()) + "; ";
         report += read_attributes(0, again);
         return report + (same_attributes(raw, again) ? "raw" : "not raw");
     },
     "retake ok; raw"},
    {"TheLastResortTouchesNothingOnceRawModeIsLeft",
     [](pid_t) -> std::string {
         termios shells{}, after{};
         std::string report = "leave " + outcome(leave_raw_mode()) + "; ";
         report += read_attributes(0, shells);
         shells.c_lflag ^= ECHO;
         tcsetattr(0, TCSANOW, &shells);
         report += give_back_attributes_from_handler() ? "given back; " : "left; ";
         report += read_attributes(0, after);
         return report + (same_attributes(shells, after) ? "unchanged" : "changed");
     },
     "leave ok; left; unchanged"},
    {"TheLastResortLeavesATerminalWhoseForegroundIsAnotherGroups",
     [](pid_t shell) -> std::string {
         termios raw{}, after{};
         // Ignored, SIGTTOU would let a change through rather than stop this
         // process: one made would show.
         signal(SIGTTOU, SIG_IGN);
         std::string report = give_foreground_to(shell) ? "" : "no foreground; ";
         report += read_attributes(0, raw);
         report += give_back_attributes_from_handler() ? "given back; " : "left; ";
         report += read_attributes(0, after);
         return report + (same_attributes(raw, after) ? "unchanged" : "changed");
     },
     "left; unchanged"},
    {"LeavingInterruptedBySIGTTOUIsAskedAgain",
     [](pid_t shell) -> std::string {
         // In the background, setting the attributes raises SIGTTOU; this
         // handler, without SA_RESTART, takes the foreground and the call
         // returns EINTR.
         struct sigaction action {};
         action.sa_handler = take_foreground;
         sigemptyset(&action.sa_mask);
         sigaction(SIGTTOU, &action, nullptr);
         std::string report = give_foreground_to(shell) ? "" : "no foreground; ";
         return report + "leave " + outcome(leave_raw_mode());
     },
     "leave ok", true},
};

void PrintTo(const BackgroundCase& c, std::ostream* os) {
    *os << c.name;
}

class BackgroundTest : public ::testing::TestWithParam<BackgroundCase> {};

/// In a forked child that leads a session on `slave`: runs `body` in a process
/// group of its own, one that no shell looks after (its founder gone) when
/// `orphaned`, and answers what `body` reported.
std::string in_a_group_of_its_own(int slave, bool orphaned,
                                  const std::function<std::string()>& body) {
    int ends[2];
    if (!testing::take_controlling_terminal(slave) || !testing::redirect(slave, 0) ||
        pipe(ends) != 0) {
        return "setup failed";
    }
    const pid_t founder = fork();
    if (founder == 0) {
        setpgid(0, 0);
        const pid_t me = getpid();
        if (!orphaned || fork() == 0) {
            while (orphaned && getppid() == me) {
                usleep(1000);
            }
            ForkedChild::send(ends[1], body());
        }
        _exit(0);
    }
    close(ends[1]);
    std::string report;
    for (char c; ::read(ends[0], &c, 1) == 1;) {
        report.push_back(c);
    }
    waitpid(founder, nullptr, 0);
    return report;
}

TEST_P(BackgroundTest, AsTheCaseSays) {
    if (PACPICK_SANITIZED && GetParam().needs_prompt_handlers) {
        GTEST_SKIP() << "signal handlers may run late under a sanitizer";
    }
    Pty pty = Pty::open();
    ASSERT_TRUE(pty.master.valid());
    const BackgroundScene scene = GetParam().scene;
    ForkedChild child([&](int) -> std::string {
        return in_a_group_of_its_own(pty.slave.get(), false, [scene] {
            std::string report = give_foreground_to(getpgrp()) ? "" : "no foreground; ";
            // Before raw mode the last resort has nothing to give back.
            report += give_back_attributes_from_handler() ? "given back before; " : "";
            report += "enter " + outcome(enter_raw_mode()) + "; ";
            return report + scene(getsid(0));
        });
    });
    pty.slave.reset();
    EXPECT_EQ(child.finish(), std::string("enter ok; ") + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(RawMode, BackgroundTest, ::testing::ValuesIn(kBackgroundCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RawModeTest, AStandardInputThatIsATerminalServesWithoutAControllingOne) {
    Pty pty = Pty::open();
    ASSERT_TRUE(pty.master.valid());
    ForkedChild child([&](int) -> std::string {
        termios before{}, after{};
        if (!testing::detach_from_terminal() || !testing::redirect(pty.slave.get(), 0)) {
            return "setup failed";
        }
        std::string report = read_attributes(0, before);
        report += "enter " + outcome(enter_raw_mode()) + "; ";
        report += give_back_attributes_from_handler() ? "given back; " : "left; ";
        report += read_attributes(0, after);
        report += same_attributes(before, after) ? "restored; " : "not restored; ";
        // Without it, there is no terminal left to give back, nor to leave.
        testing::redirect_to_null(0);
        report += give_back_attributes_from_handler() ? "given back; " : "none; ";
        return report + "leave " + outcome(leave_raw_mode());
    });
    pty.slave.reset();
    EXPECT_EQ(
        child.finish(),
        R"(enter ok; given back; restored; none; leave Os { code: 6, kind: Uncategorized, message: "No such device or address" })");
}

TEST(RawModeTest, AGroupNoShellLooksAfterMeetsTheTerminalsRefusalOnEveryChange) {
    Pty pty = Pty::open();
    ASSERT_TRUE(pty.master.valid());
    // In the background of an orphaned group, the terminal refuses a change
    // with EIO: on entry, and on a retake or a leave once the foreground,
    // taken with SIGTTOU held off, has gone back to the shell.
    ForkedChild child([&](int) -> std::string {
        return in_a_group_of_its_own(pty.slave.get(), true, [] {
            std::string report = "enter " + outcome(enter_raw_mode()) + "; active " +
                                 (raw_mode_active() ? "yes; " : "no; ");
            give_foreground_to(getpgrp());
            report += "enter " + outcome(enter_raw_mode()) + "; ";
            give_foreground_to(getsid(0));
            report +=
                "retake " + outcome(reenter_raw_mode()) + "; leave " + outcome(leave_raw_mode());
            // Still raw after the failed leave: the last resort must give it back.
            give_foreground_to(getpgrp());
            return report + (give_back_attributes_from_handler() ? "; given back" : "; left");
        });
    });
    pty.slave.reset();
    const std::string refused =
        R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })";
    EXPECT_EQ(child.finish(), "enter " + refused + "; active no; enter ok; retake " + refused +
                                  "; leave " + refused + "; given back");
}

}  // namespace
}  // namespace pacpick::term
