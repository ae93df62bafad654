#include "process/wait.h"

#include <sys/wait.h>

#include <cerrno>

namespace pacpick::process {

Result<ExitStatus> wait_blocking(pid_t pid) {
    if (pid <= 0) {
        return Error::os(ECHILD);  // would wait for any child, or a group
    }
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, 0);
        if (r == pid) {
            return ExitStatus(status);
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return Error::last_os_error();
    }
}

Result<std::optional<ExitStatus>> try_wait(pid_t pid) {
    if (pid <= 0) {
        return Error::os(ECHILD);  // would collect any child, or one of a group
    }
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return std::optional<ExitStatus>(ExitStatus(status));
        }
        if (r == 0) {
            return std::optional<ExitStatus>();
        }
        if (errno == EINTR) {
            continue;
        }
        return Error::last_os_error();
    }
}

}  // namespace pacpick::process
