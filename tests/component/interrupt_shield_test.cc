#include "process/interrupt_shield.h"

#include <gtest/gtest.h>

#include <csignal>

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

TEST(InterruptShieldTest, ProgramIgnoresInterruptsWhileChildrenGetTheDefaultBack) {
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

TEST(InterruptShieldTest, AnInterruptTheProgramWasStartedWithoutStaysIgnoredInChildren) {
    signal(SIGINT, SIG_IGN);
    {
        InterruptShield shield;
        EXPECT_EQ(interrupt_itself().exit_code(), 7);
    }
    EXPECT_EQ(current_disposition(SIGINT), SIG_IGN);
    EXPECT_EQ(interrupt_itself().exit_code(), 7);
    signal(SIGINT, SIG_DFL);
}

}  // namespace
}  // namespace pacpick::process
