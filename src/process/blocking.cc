#include "process/blocking.h"

#include <poll.h>

#include <cerrno>

#include "process/pipe_read.h"
#include "process/spawn.h"
#include "process/wait.h"

namespace pacpick::process {

namespace {

/// Reads both pipes to end of file, taking from whichever has data, so a child
/// that fills one pipe while the other is being waited on cannot stall.
Result<void> read_both_to_end(int out_fd, std::string& out, int err_fd, std::string& err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open_streams = 2;
    while (open_streams > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error::last_os_error();
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            switch (
                read_once(fds[i].fd, [&](std::string_view bytes) { sinks[i]->append(bytes); })) {
                case ReadOutcome::Data:
                case ReadOutcome::WouldBlock:
                    break;
                case ReadOutcome::EndOfFile:
                    fds[i].fd = -1;  // poll skips negative descriptors
                    --open_streams;
                    break;
                case ReadOutcome::Failed:
                    return Error::last_os_error();
            }
        }
    }
    return {};
}

}  // namespace

Result<CommandOutput> run_captured_blocking(ChildCommand command) {
    command.stdin_mode = StdioMode::Null;
    command.stdout_mode = StdioMode::Piped;
    command.stderr_mode = StdioMode::Piped;
    auto spawned = spawn_child(command);
    if (!spawned) {
        return std::move(spawned).error();
    }
    SpawnedChild& child = *spawned;
    CommandOutput output;
    auto read = read_both_to_end(child.stdout_pipe.get(), output.stdout_data,
                                 child.stderr_pipe.get(), output.stderr_data);
    // Closed before the wait: after a read failure a child still writing gets
    // EPIPE instead of blocking forever on a pipe nobody reads.
    child.stdout_pipe.reset();
    child.stderr_pipe.reset();
    // Waited for even after a read failure, so no zombie is left behind.
    auto status = wait_blocking(child.pid);
    if (!read) {
        return std::move(read).error();
    }
    if (!status) {
        return std::move(status).error();
    }
    output.status = *status;
    return output;
}

}  // namespace pacpick::process
