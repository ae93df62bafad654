#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "process/run.h"
#include "process_helpers.h"
#include "queries/pacman.h"
#include "runtime/runtime.h"

namespace pacpick {
namespace {

using process::ChildCommand;
using process::CommandOutput;
using process::ExitStatus;
using process::test::read_file;
using process::test::ScopedEnvironment;

rt::Task<Result<CommandOutput>> capture(ChildCommand command) {
    auto run = process::run_captured(std::move(command));
    co_return co_await run;
}

rt::Task<Result<ExitStatus>> in_foreground(ChildCommand command) {
    auto run = process::run_foreground(std::move(command));
    co_return co_await run;
}

/// Puts stand-ins for pacman and sudo first on PATH; each prints its
/// arguments one per line in brackets (sudo into the file named by
/// PACPICK_TEST_RECORD, since it runs with the program's own streams).
class PackageManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.add("pacman", "printf '[%s]\\n' \"$@\"\n");
        dir_.add("sudo", "printf '[%s]\\n' \"$@\" > \"$PACPICK_TEST_RECORD\"\nexit 3\n");
        environment_.set("PACPICK_TEST_RECORD", dir_.file("record"));
    }

    std::string captured_stdout(ChildCommand command) {
        auto output = runtime_->block_on(capture(std::move(command)));
        EXPECT_TRUE(output.ok());
        return output.ok() ? output->stdout_data : "";
    }
    Result<ExitStatus> foreground_status(ChildCommand command) {
        return runtime_->block_on(in_foreground(std::move(command)));
    }

    process::test::StandIns dir_;
    ScopedEnvironment environment_;
    std::unique_ptr<rt::Runtime> runtime_ = rt::Runtime::build(2).value();
};

const std::string kAwkwardName = "a b;$(touch x)'\"*";

TEST_F(PackageManagerTest, QueriesPassTheirFlagsAndTheNameAsSeparateArguments) {
    EXPECT_EQ(captured_stdout(pacman_sync_names()), "[-Slq]\n");
    EXPECT_EQ(captured_stdout(pacman_installed_names()), "[-Qq]\n");
    EXPECT_EQ(captured_stdout(pacman_sync_info(kAwkwardName)), "[-Si]\n[" + kAwkwardName + "]\n");
    EXPECT_EQ(captured_stdout(pacman_query_installed(kAwkwardName)),
              "[-Q]\n[" + kAwkwardName + "]\n");
}

TEST_F(PackageManagerTest, InstallAndRemoveRunPacmanThroughSudoInTheForeground) {
    for (const std::string flag : {"-S", "-R"}) {
        auto status = foreground_status(sudo_pacman(flag, kAwkwardName));
        ASSERT_TRUE(status.ok());
        EXPECT_EQ(status->exit_code(), 3);
        EXPECT_EQ(read_file(dir_.file("record")),
                  "[pacman]\n[" + flag + "]\n[" + kAwkwardName + "]\n");
    }
}

TEST_F(PackageManagerTest, QueriesRunInEnglishWhileTheUsersCommandKeepsTheUsersLocale) {
    const char* report =
        R"(printf '%s %s %s %s\n' "${LC_ALL-unset}" "${LANGUAGE-unset}" "${LANG-unset}" )"
        R"sh("$(env | grep -c '^LC_ALL=')")sh";
    dir_.add("pacman", std::string(report) + "\n");
    dir_.add("sudo", std::string("{ ") + report + "; } > \"$PACPICK_TEST_RECORD\"\n");
    ScopedEnvironment german;
    german.set("LC_ALL", "de_DE.UTF-8");
    german.set("LANGUAGE", "de");
    german.set("LANG", "de_DE.UTF-8");

    const std::string english = "C.UTF-8 unset de_DE.UTF-8 1\n";
    EXPECT_EQ(captured_stdout(pacman_sync_names()), english);
    EXPECT_EQ(captured_stdout(pacman_installed_names()), english);
    EXPECT_EQ(captured_stdout(pacman_sync_info("pkg")), english);
    EXPECT_EQ(captured_stdout(pacman_query_installed("pkg")), english);
    EXPECT_TRUE(foreground_status(sudo_pacman("-S", "pkg")).ok());
    EXPECT_EQ(read_file(dir_.file("record")), "de_DE.UTF-8 de de_DE.UTF-8 1\n");
}

TEST_F(PackageManagerTest, ANameThatLooksLikeAnOptionComesAfterADoubleDash) {
    const std::string option_like = "--dbpath=/tmp/x";
    EXPECT_EQ(captured_stdout(pacman_sync_info(option_like)),
              "[-Si]\n[--]\n[" + option_like + "]\n");
    EXPECT_EQ(captured_stdout(pacman_query_installed("-x")), "[-Q]\n[--]\n[-x]\n");
    // A dash inside a name is ordinary.
    EXPECT_EQ(captured_stdout(pacman_query_installed("a-b")), "[-Q]\n[a-b]\n");

    ASSERT_TRUE(foreground_status(sudo_pacman("-S", option_like)).ok());
    EXPECT_EQ(read_file(dir_.file("record")), "[pacman]\n[-S]\n[--]\n[" + option_like + "]\n");
}

}  // namespace
}  // namespace pacpick
