#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "process/blocking.h"
#include "process/child.h"
#include "process/command.h"
#include "process/run.h"
#include "process/spawn.h"
#include "process/wait.h"
#include "process_helpers.h"
#include "runtime/runtime.h"

namespace pacpick::process {
namespace {

using test::random_bytes;
using test::ScopedEnvironment;
using test::shell;
using test::TempDir;
using test::write_file;

/// Every child of this process, running or ended, as its threads list them.
/// Reading the list collects nothing: a wait for any child here could take the
/// status of an orphan that the runtime of another test is about to reap.
std::set<pid_t> current_children() {
    std::set<pid_t> children;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/children");
        pid_t pid;
        while (in >> pid)
            children.insert(pid);
    }
    closedir(tasks);
    return children;
}

/// True when no child appeared beyond `before`.
bool no_new_child(const std::set<pid_t>& before) {
    for (pid_t pid : current_children()) {
        if (!before.count(pid))
            return false;
    }
    return true;
}

/// True when `pid` is neither running nor waiting to be collected.
bool child_is_gone(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

/// Descriptors of this process that a child could inherit legitimately: those
/// the test was started with and that are not close-on-exec.
std::set<int> inheritable_descriptors() {
    std::set<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd == dirfd(dir))
            continue;
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
            fds.insert(fd);
    }
    closedir(dir);
    return fds;
}

std::set<int> parse_fd_list(const std::string& listing) {
    std::set<int> fds;
    std::istringstream in(listing);
    int fd;
    while (in >> fd)
        fds.insert(fd);
    return fds;
}

// --- The ways of running a child that capture its output ------------------

rt::Task<Result<CommandOutput>> capture(ChildCommand command) {
    auto run = run_captured(std::move(command));
    co_return co_await run;
}

/// On the event loop (on either route: CTest runs these again on the SIGCHLD
/// route), or on the calling thread.
enum class Capture { EventLoop, Blocking };

std::string capture_name(const ::testing::TestParamInfo<Capture>& info) {
    return info.param == Capture::EventLoop ? "EventLoop" : "Blocking";
}

class CaptureTest : public ::testing::TestWithParam<Capture> {
  protected:
    void SetUp() override {
        auto built = rt::Runtime::build(2);
        ASSERT_TRUE(built.ok());
        runtime_ = std::move(built).value();
    }
    void TearDown() override {
        runtime_.reset();
        test::expect_the_sigchld_route_where_asked();
    }

    Result<CommandOutput> run(ChildCommand command) {
        switch (GetParam()) {
            case Capture::EventLoop:
                return runtime_->block_on(capture(std::move(command)));
            case Capture::Blocking:
                return run_captured_blocking(std::move(command));
        }
        return Error::custom(ErrorKind::Other, "unknown way of running");
    }

    std::unique_ptr<rt::Runtime> runtime_;
};

TEST_P(CaptureTest, OutputBeyondPipeCapacityOnBothStreamsArrivesWhole) {
    TempDir dir;
    const std::string out = random_bytes(1 << 20, 1);
    const std::string err = random_bytes(1 << 20, 2);
    write_file(dir.file("out"), out);
    write_file(dir.file("err"), err);
    // stderr first: a reader that drained stdout before looking at stderr would
    // leave the child stuck on a full stderr pipe.
    auto result =
        run(shell(R"(cat "$1" >&2; cat "$2"; cat "$1" >&2)", {dir.file("err"), dir.file("out")}));
    ASSERT_TRUE(result.ok()) << result.error().describe();
    EXPECT_TRUE(result->status.success());
    EXPECT_TRUE(result->stdout_data == out)
        << "stdout has " << result->stdout_data.size() << " bytes";
    EXPECT_TRUE(result->stderr_data == err + err)
        << "stderr has " << result->stderr_data.size() << " bytes";
}

TEST_P(CaptureTest, ExitStatusTellsCodesFromSignals) {
    auto clean = run(shell("exit 0"));
    ASSERT_TRUE(clean.ok());
    EXPECT_TRUE(clean->status.success());
    EXPECT_EQ(clean->status.exit_code(), 0);

    auto failed = run(shell("echo partial; exit 1"));
    ASSERT_TRUE(failed.ok());
    EXPECT_FALSE(failed->status.success());
    EXPECT_EQ(failed->status.exit_code(), 1);
    EXPECT_EQ(failed->stdout_data, "partial\n");

    auto high = run(shell("exit 255"));
    ASSERT_TRUE(high.ok());
    EXPECT_EQ(high->status.exit_code(), 255);

    auto killed = run(shell("kill -TERM $$"));
    ASSERT_TRUE(killed.ok());
    EXPECT_FALSE(killed->status.success());
    EXPECT_EQ(killed->status.exit_code(), std::nullopt);
    EXPECT_EQ(killed->status, ExitStatus(SIGTERM));
}

TEST_P(CaptureTest, ExitAndEndOfOutputAreAwaitedIndependently) {
    // Output closed long before the exit: the exit is still awaited.
    auto closed_early = run(shell("exec >&- 2>&-; sleep 0.2; exit 3"));
    ASSERT_TRUE(closed_early.ok());
    EXPECT_EQ(closed_early->status.exit_code(), 3);
    EXPECT_EQ(closed_early->stdout_data, "");
    // Exited while a background child still holds the pipe: read on to its end.
    auto exited_early = run(shell("(sleep 0.2; echo late; echo also >&2) & exit 0"));
    ASSERT_TRUE(exited_early.ok());
    EXPECT_TRUE(exited_early->status.success());
    EXPECT_EQ(exited_early->stdout_data, "late\n");
    EXPECT_EQ(exited_early->stderr_data, "also\n");
}

TEST_P(CaptureTest, ArgumentsReachTheChildUnchangedOneEach) {
    auto result = run(shell(R"(printf '[%s]\n' "$@")", {"two words", "$HOME", "", "a;b|c", "*"}));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->stdout_data, "[two words]\n[$HOME]\n[]\n[a;b|c]\n[*]\n");
}

TEST_P(CaptureTest, NulByteFailsWithoutStartingAProcess) {
    const std::set<pid_t> before = current_children();
    const Error expected =
        Error::custom(ErrorKind::InvalidInput, "nul byte found in provided data");
    auto in_argument = run(shell("exit 0", {std::string("a\0b", 3)}));
    ASSERT_FALSE(in_argument.ok());
    EXPECT_EQ(in_argument.error(), expected);
    EXPECT_EQ(in_argument.error().describe(),
              R"(Error { kind: InvalidInput, message: "nul byte found in provided data" })");

    auto in_program = run(ChildCommand{std::string("s\0h", 3), {"-c", "exit 0"}});
    ASSERT_FALSE(in_program.ok());
    EXPECT_EQ(in_program.error(), expected);
    EXPECT_TRUE(no_new_child(before));
}

TEST_P(CaptureTest, EnvironmentChangesReplaceRemoveAndAddVariablesForThatChildOnly) {
    ScopedEnvironment environment;
    environment.set("PACPICK_REPLACED", "old");
    environment.set("PACPICK_REMOVED", "present");
    environment.set("PACPICK_ADDED", std::nullopt);
    environment.set("PACPICK_KEPT", "kept");
    ChildCommand command =
        shell(R"sh(printf '%s ' "$PACPICK_REPLACED" "${PACPICK_REMOVED-unset}" "$PACPICK_ADDED" )sh"
              R"sh("$PACPICK_KEPT" "$(env | grep -c '^PACPICK_REPLACED=')")sh");
    command.environment = {{"PACPICK_REPLACED", "new=value"},
                           {"PACPICK_REMOVED", std::nullopt},
                           {"PACPICK_ADDED", ""},
                           {"PACPICK_NEVER_SET", std::nullopt}};
    auto result = run(command);
    ASSERT_TRUE(result.ok()) << result.error().describe();
    EXPECT_EQ(result->stdout_data, "new=value unset  kept 1 ");
    EXPECT_STREQ(getenv("PACPICK_REPLACED"), "old") << "the program's own environment changed";
    EXPECT_STREQ(getenv("PACPICK_REMOVED"), "present");
}

TEST_P(CaptureTest, AnUnusableEnvironmentChangeFailsWithoutStartingAProcess) {
    const std::set<pid_t> before = current_children();
    for (const EnvironmentChange& change :
         {EnvironmentChange{"", "x"}, EnvironmentChange{"A=B", "x"},
          EnvironmentChange{std::string("A\0B", 3), "x"},
          EnvironmentChange{"A", std::string("x\0y", 3)}}) {
        ChildCommand command = shell("exit 0");
        command.environment = {change};
        auto result = run(command);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind(), ErrorKind::InvalidInput) << result.error().describe();
    }
    EXPECT_TRUE(no_new_child(before));
}

TEST_P(CaptureTest, ProgramNotOnPathFailsWithNotFound) {
    const std::set<pid_t> before = current_children();
    auto result = run(ChildCommand{"pacpick-no-such-program", {}});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), Error::os(ENOENT));
    EXPECT_TRUE(no_new_child(before));
}

TEST_P(CaptureTest, ChildGetsNoDescriptorBeyondItsStandardStreams) {
    // Descriptors the test itself inherited without close-on-exec are not ours.
    std::set<int> allowed = inheritable_descriptors();
    allowed.insert({0, 1, 2});
    int extra[2];
    ASSERT_EQ(pipe2(extra, O_CLOEXEC), 0);
    // ls is a separate process, so it lists the shell's descriptors, not its own.
    auto result = run(shell("ls /proc/$$/fd"));
    close(extra[0]);
    close(extra[1]);
    ASSERT_TRUE(result.ok());
    const std::set<int> seen = parse_fd_list(result->stdout_data);
    EXPECT_TRUE(seen.count(1) && seen.count(2)) << result->stdout_data;
    for (int fd : seen) {
        EXPECT_TRUE(allowed.count(fd)) << "descriptor " << fd << " leaked into the child";
    }
}

rt::Task<Result<CommandOutput>> capture_to(ChildCommand command, OutputSink sink) {
    auto run = run_captured(std::move(command), std::move(sink));
    co_return co_await run;
}

TEST(SinkCaptureTest, StandardOutputReachesTheSinkWholeInPiecesAndIsNotKept) {
    TempDir dir;
    const std::string out = random_bytes(1 << 20, 3);
    write_file(dir.file("out"), out);
    auto runtime = rt::Runtime::build(2);
    ASSERT_TRUE(runtime.ok());
    std::string joined;
    size_t pieces = 0;
    auto result = (*runtime)->block_on(capture_to(
        shell(R"(cat "$1"; echo complaint >&2)", {dir.file("out")}), [&](std::string_view piece) {
            EXPECT_FALSE(piece.empty());
            joined.append(piece);
            ++pieces;
        }));
    ASSERT_TRUE(result.ok()) << result.error().describe();
    EXPECT_TRUE(joined == out) << "the sink was given " << joined.size() << " bytes";
    EXPECT_GT(pieces, 1u);
    EXPECT_EQ(result->stdout_data, "");
    EXPECT_EQ(result->stderr_data, "complaint\n");
}

INSTANTIATE_TEST_SUITE_P(Process, CaptureTest,
                         ::testing::Values(Capture::EventLoop, Capture::Blocking), capture_name);

// --- Blocking capture on the calling thread -------------------------------

TEST(BlockingCaptureTest, StandardInputIsTheNullDevice) {
    // With an inherited terminal or pipe as stdin, cat would wait for input.
    auto result = run_captured_blocking(shell("cat; readlink /proc/$$/fd/0"));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->stdout_data, "/dev/null\n");
}

TEST(BlockingCaptureTest, ChildIsCollectedSoNoZombieRemains) {
    auto result = run_captured_blocking(shell("echo $$"));
    ASSERT_TRUE(result.ok());
    const pid_t pid = std::stoi(result->stdout_data);
    const std::string proc = "/proc/" + std::to_string(pid);
    struct stat st;
    EXPECT_NE(stat(proc.c_str(), &st), 0) << proc << " still exists";
    EXPECT_TRUE(child_is_gone(pid));
}

TEST(BlockingCaptureTest, ChildStartsWithSigpipeAtItsDefaultAction) {
    // The program ignores SIGPIPE; its children must not inherit that.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGPIPE, &ignore, &previous);
    auto result = run_captured_blocking(shell("grep SigIgn /proc/$$/status"));
    sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_TRUE(result.ok());
    // SigIgn is a hexadecimal mask; SIGPIPE (13) is bit 12.
    const std::string mask = result->stdout_data.substr(result->stdout_data.find(':') + 1);
    EXPECT_EQ(std::stoull(mask, nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << result->stdout_data;
}

// --- Waiting only for one's own child -------------------------------------

/// Waits until `pid` has ended, without collecting it.
void await_end_uncollected(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

/// A child that has already ended and waits to be collected by whoever
/// started it: no handle of the code under test knows it.
pid_t ended_stranger() {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(7);
    }
    await_end_uncollected(pid);
    return pid;
}

/// A child started for a handle, already ended so that the orphan list takes
/// nothing over from the test.
pid_t ended_child() {
    auto spawned = spawn_child(test::shell("exit 0"));
    if (!spawned.ok()) {
        return -1;
    }
    await_end_uncollected(spawned->pid);
    return spawned->pid;
}

size_t open_descriptor_count() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

struct ExitOf {
    Child& child;
    rt::Poll<Result<ExitStatus>> poll(const rt::Waker& waker) { return child.poll_exit(waker); }
};

rt::Task<Result<ExitStatus>> exit_of(Child& child) {
    co_return co_await ExitOf{child};
}

// Collected or given up, running or ended, a handle lets go of its process
// descriptor and answers ECHILD from then on, never taking another's end.
TEST(ChildTest, AHandleWithoutAChildHoldsNoDescriptorAndNeverCollectsAnotherOne) {
    auto built = rt::Runtime::build(1);
    ASSERT_TRUE(built.ok());
    auto runtime = std::move(built).value();
    const pid_t stranger = ended_stranger();
    ASSERT_GT(stranger, 0);

    const pid_t first = ended_child(), second = ended_child(), third = ended_child(),
                fourth = ended_child();
    const pid_t running = spawn_child(shell("exec sleep 0.2")).value().pid;
    ASSERT_TRUE(first > 0 && second > 0 && third > 0 && fourth > 0);
    const size_t descriptors = open_descriptor_count();
    Child collected(third, OrphanSlot());
    auto status = runtime->block_on(exit_of(collected));
    EXPECT_TRUE(status.ok() && status->success());
    EXPECT_EQ(collected.poll_exit(rt::Waker()).take().value(), *status) << "the status is kept";
    Child abandoned(first, OrphanSlot());
    abandoned.abandon();
    Child given_up(running, OrphanSlot());
    given_up.abandon();
    EXPECT_EQ(open_descriptor_count(), descriptors) << "a process descriptor outlived its use";
    // Collected behind the handle's back, the child is no longer its to wait for.
    Child stolen(fourth, OrphanSlot());
    waitpid(fourth, nullptr, 0);
    EXPECT_EQ(runtime->block_on(exit_of(stolen)).error(), Error::os(ECHILD));
    Child moved_from(second, OrphanSlot());
    Child moved_to(std::move(moved_from));
    for (Child* handle : {&abandoned, &given_up, &moved_from}) {
        auto polled = handle->poll_exit(rt::Waker());
        ASSERT_TRUE(polled.ready()) << "a handle without a child still waits";
        auto waited = polled.take();
        ASSERT_FALSE(waited.ok()) << "a handle without a child reported an end";
        EXPECT_EQ(waited.error(), Error::os(ECHILD));
    }
    for (pid_t nobody : {-1, 0}) {
        auto waited = try_wait(nobody);
        ASSERT_FALSE(waited.ok());
        EXPECT_EQ(waited.error(), Error::os(ECHILD));
        auto blocked = wait_blocking(nobody);
        ASSERT_FALSE(blocked.ok());
        EXPECT_EQ(blocked.error(), Error::os(ECHILD));
    }

    int stranger_status = 0;
    EXPECT_EQ(waitpid(stranger, &stranger_status, WNOHANG), stranger)
        << "another child's end was taken";
    EXPECT_EQ(WEXITSTATUS(stranger_status), 7);
}

}  // namespace
}  // namespace pacpick::process
