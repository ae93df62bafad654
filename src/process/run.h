#pragma once

#include <optional>

#include "base/result.h"
#include "process/child.h"
#include "process/command.h"
#include "process/pipe_read.h"
#include "runtime/poll.h"

namespace pacpick::process {

/// The pending result of `run_captured`: a leaf future ready with the child's
/// complete stdout and stderr and its exit status, or with the first error.
/// Each poll looks at the exit, then stdout, then stderr. Dropped unfinished,
/// it closes its pipes and leaves the child to the orphan list.
class CapturedRun {
  public:
    rt::Poll<Result<CommandOutput>> poll(const rt::Waker& waker);

  private:
    friend CapturedRun run_captured(ChildCommand command, OutputSink on_stdout);
    explicit CapturedRun(Result<Child> child, PipeCapture out = {}, PipeCapture err = {})
        : child_(std::move(child)), stdout_(std::move(out)), stderr_(std::move(err)) {}
    Result<CommandOutput> fail(Error error);

    Result<Child> child_;  // or why it did not start
    std::optional<ExitStatus> status_;
    PipeCapture stdout_;
    PipeCapture stderr_;
};

/// The pending result of `run_foreground`: a leaf future ready with the child's
/// exit status. Dropped unfinished, it leaves the child to the orphan list.
class ForegroundRun {
  public:
    rt::Poll<Result<ExitStatus>> poll(const rt::Waker& waker);
    /// Passes `signal_number` on to the command while it runs.
    void send_signal(int signal_number) {
        if (child_) {
            child_->send_signal(signal_number);
        }
    }

  private:
    friend ForegroundRun run_foreground(ChildCommand command);
    explicit ForegroundRun(Result<Child> child) : child_(std::move(child)) {}

    Result<Child> child_;  // or why it did not start
};

/// Starts `command` now, stdin inherited and stdout and stderr captured; a
/// task awaits the result later, so two can run at once. A failed start is
/// reported by the first poll, without waiting. Needs a running runtime. With
/// `on_stdout`, standard output goes to it as it is read, on the thread that
/// polls, and the result's `stdout_data` stays empty.
CapturedRun run_captured(ChildCommand command, OutputSink on_stdout = {});

/// Starts `command` now with the program's own three streams, so it can talk
/// to the user on the terminal; a task awaits its exit status later.
ForegroundRun run_foreground(ChildCommand command);

}  // namespace pacpick::process
