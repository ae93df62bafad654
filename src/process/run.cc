#include "process/run.h"

#include <fcntl.h>

#include "process/spawn.h"

namespace pacpick::process {

rt::Poll<Result<CommandOutput>> CapturedRun::poll(const rt::Waker& waker) {
    if (!child_) {
        return Result<CommandOutput>(child_.error());
    }
    if (!status_) {
        auto exit = child_->poll_exit(waker);
        if (exit.ready()) {
            auto status = exit.take();
            if (!status) {
                return fail(std::move(status).error());
            }
            status_ = *status;
        }
    }
    for (PipeCapture* pipe : {&stdout_, &stderr_}) {
        auto drained = pipe->poll_drain(waker);
        if (drained.ready()) {
            if (auto result = drained.take(); !result) {
                return fail(std::move(result).error());
            }
        }
    }
    if (!status_ || !stdout_.finished() || !stderr_.finished()) {
        return rt::Poll<Result<CommandOutput>>::pending();
    }
    return Result<CommandOutput>(CommandOutput{*status_, stdout_.take(), stderr_.take()});
}

Result<CommandOutput> CapturedRun::fail(Error error) {
    stdout_.close();
    stderr_.close();
    child_->abandon();
    return error;
}

rt::Poll<Result<ExitStatus>> ForegroundRun::poll(const rt::Waker& waker) {
    if (!child_) {
        return Result<ExitStatus>(child_.error());
    }
    return child_->poll_exit(waker);
}

CapturedRun run_captured(ChildCommand command, OutputSink on_stdout) {
    command.stdin_mode = StdioMode::Inherit;
    command.stdout_mode = StdioMode::Piped;
    command.stderr_mode = StdioMode::Piped;
    OrphanSlot slot;  // nothing is started yet if this throws
    auto spawned = spawn_child(command);
    if (!spawned) {
        return CapturedRun(std::move(spawned).error());
    }
    Child child(spawned->pid, std::move(slot));
    // On a descriptor the program holds, getting and setting flags cannot fail.
    for (const UniqueFd* pipe : {&spawned->stdout_pipe, &spawned->stderr_pipe}) {
        fcntl(pipe->get(), F_SETFL, fcntl(pipe->get(), F_GETFL) | O_NONBLOCK);
    }
    return CapturedRun(std::move(child),
                       PipeCapture(std::move(spawned->stdout_pipe), std::move(on_stdout)),
                       PipeCapture(std::move(spawned->stderr_pipe)));
}

ForegroundRun run_foreground(ChildCommand command) {
    command.stdin_mode = StdioMode::Inherit;
    command.stdout_mode = StdioMode::Inherit;
    command.stderr_mode = StdioMode::Inherit;
    OrphanSlot slot;
    auto spawned = spawn_child(command);
    if (!spawned) {
        return ForegroundRun(std::move(spawned).error());
    }
    return ForegroundRun(Child(spawned->pid, std::move(slot)));
}

}  // namespace pacpick::process
