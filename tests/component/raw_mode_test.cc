#include "term/raw_mode.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

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

        termios first{};
        termios second{};
        termios after{};
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

TEST(RawModeTest, LeavingWithoutEnteringTouchesNoTerminal) {
    ForkedChild child([](int) -> std::string {
        // With no terminal at all, any attempt to reach one would fail.
        if (!testing::detach_from_terminal() || !testing::redirect_to_null(0)) {
            return "setup failed";
        }
        std::string report = "leave " + outcome(leave_raw_mode());
        report += std::string("; active ") + (raw_mode_active() ? "yes" : "no");
        return report;
    });
    EXPECT_EQ(child.finish(), "leave ok; active no");
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
        termios before{};
        termios during{};
        termios after{};
        std::string report = read_attributes(terminal, before);
        const std::set<std::string> open_before = open_descriptors();
        report += "enter " + outcome(enter_raw_mode()) + "; ";
        report +=
            std::string("fds ") + (open_descriptors() == open_before ? "same" : "changed") + "; ";
        report += read_attributes(terminal, during);
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

TEST(RawModeTest, FailsWithTheOpenErrorWithoutAnyTerminal) {
    ForkedChild child([](int) -> std::string {
        if (!testing::detach_from_terminal() || !testing::redirect_to_null(0)) {
            return "setup failed";
        }
        std::string report = "enter " + outcome(enter_raw_mode());
        report += std::string("; active ") + (raw_mode_active() ? "yes" : "no");
        return report;
    });
    EXPECT_EQ(
        child.finish(),
        R"(enter Os { code: 6, kind: Uncategorized, message: "No such device or address" }; active no)");
}

}  // namespace
}  // namespace pacpick::term
