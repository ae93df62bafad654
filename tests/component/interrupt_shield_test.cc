#include "process/interrupt_shield.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>

#include "process/blocking.h"

namespace pacpick::process {
namespace {

/// A child that sends itself SIGINT, then exits 7 if it is still alive.
ExitStatus interrupt_itself() {
    auto output = run_captured_blocking(ChildCommand{"sh", {"-c", "kill -INT $$; exit 7"}});
    EXPECT_TRUE(output.ok());
    return output.ok() ? output->status : ExitStatus(0);
}

sighandler_t current_disposition(int signal_number) {
    struct sigaction now {};
    sigaction(signal_number, nullptr, &now);
    return now.sa_handler;
}

void count_signal(int) {}

/// Both keyboard signals at their default actions, as these tests rely on,
/// whatever this process was started with: a background job of a shell without
/// job control starts with them ignored.
class InterruptShieldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
    }
};

TEST_F(InterruptShieldTest, ProgramIgnoresInterruptsWhileChildrenGetTheDefaultBack) {
    struct sigaction handler {};
    handler.sa_handler = count_signal;
    sigaction(SIGINT, &handler, nullptr);
    {
        InterruptShield shield;
        EXPECT_EQ(current_disposition(SIGINT), SIG_IGN);
        EXPECT_EQ(current_disposition(SIGQUIT), SIG_IGN);
        raise(SIGINT);  // ignored: the test goes on
        raise(SIGQUIT);
        const ExitStatus status = interrupt_itself();
        EXPECT_FALSE(status.exit_code().has_value()) << "the child did not die of SIGINT";
        EXPECT_FALSE(status.success());
    }
    EXPECT_EQ(current_disposition(SIGINT), count_signal);
    EXPECT_EQ(current_disposition(SIGQUIT), SIG_DFL);
    signal(SIGINT, SIG_DFL);
}

TEST_F(InterruptShieldTest, AnInterruptTheProgramWasStartedWithoutStaysIgnoredInChildren) {
    signal(SIGINT, SIG_IGN);
    {
        InterruptShield shield;
        EXPECT_EQ(interrupt_itself().exit_code(), 7);
    }
    EXPECT_EQ(current_disposition(SIGINT), SIG_IGN);
    EXPECT_EQ(interrupt_itself().exit_code(), 7);
    signal(SIGINT, SIG_DFL);
}

/// The SigIgn mask a child started with, from its own /proc status.
unsigned long child_ignored_signals() {
    auto output = run_captured_blocking(ChildCommand{"cat", {"/proc/self/status"}});
    EXPECT_TRUE(output.ok());
    std::istringstream lines(output.ok() ? output->stdout_data : "");
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("SigIgn:", 0) == 0) {
            return std::stoul(line.substr(7), nullptr, 16);
        }
    }
    ADD_FAILURE() << "no SigIgn line";
    return 0;
}

TEST_F(InterruptShieldTest, NoChildStartedWhileShieldsComeAndGoInheritsTheKeyboardSignalsIgnored) {
    // Queries start children on worker threads while the main task puts up and
    // takes down its shield: no child may ever start with the disposition
    // already "ignore" but not yet marked for a reset to the default.
    std::atomic<bool> stop{false};
    std::thread main_task([&stop] {
        while (!stop.load()) {
            InterruptShield shield;
        }
    });
    const unsigned long keyboard = (1ul << (SIGINT - 1)) | (1ul << (SIGQUIT - 1));
    int inherited = 0;
    for (int child = 0; child < 300; ++child) {
        if ((child_ignored_signals() & keyboard) != 0) {
            ++inherited;
        }
    }
    stop.store(true);
    main_task.join();
    EXPECT_EQ(inherited, 0) << "of 300 children started while shields came and went";
}

}  // namespace
}  // namespace pacpick::process
