#include "process/wait.h"

#include <sys/wait.h>

#include <cerrno>

namespace pacpick::process {

namespace {

/// One wait for `pid` alone, repeated when a signal interrupts it: the status,
/// or none while the child runs on under WNOHANG.
Result<std::optional<ExitStatus>> wait_for(pid_t pid, int options) {
    if (pid <= 0) {
        return Error::os(ECHILD);  // would wait for any child, or one of a group
    }
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, options);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        return Error::last_os_error();
    }
    return r == 0 ? std::nullopt : std::optional<ExitStatus>(ExitStatus(status));
}

}  // namespace

Result<ExitStatus> wait_blocking(pid_t pid) {
    auto waited = wait_for(pid, 0);
    if (!waited) {
        return std::move(waited).error();
    }
    return **waited;
}

Result<std::optional<ExitStatus>> try_wait(pid_t pid) {
    return wait_for(pid, WNOHANG);
}

}  // namespace pacpick::process
