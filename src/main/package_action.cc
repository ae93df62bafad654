#include "main/package_action.h"

#include <signal.h>

#include <optional>
#include <string>

#include "main/signals.h"
#include "process/run.h"
#include "queries/pacman.h"
#include "runtime/select.h"
#include "screen/output_stream.h"

namespace pacpick {

rt::Task<Result<void>> run_package_action(std::string name, Mode mode) {
    const std::string flag = mode == Mode::Install ? "-S" : "-R";
    // The line ends in a newline, so it reaches the terminal before sudo starts;
    // a failure to print it must not keep the user's command from running.
    (void)screen::standard_output().write("Running pacman " + flag + " " + name + "...\n");

    HeardSignals terminations{SIGTERM, SIGHUP};
    std::optional<Result<process::ExitStatus>> status;
    {
        ForegroundCommand foreground;  // Control-C at its prompt is the command's
        auto command = process::run_foreground(sudo_pacman(flag, std::move(name)));
        while (!status) {
            auto outcome = co_await rt::Select(command, terminations);
            if (outcome.index() == 0) {
                status = std::move(std::get<0>(outcome));
            } else {
                // Left to itself the command would run on in a group no shell
                // looks after, still reading the terminal.
                command.send_signal(std::get<1>(outcome));
            }
        }
    }
    if (!*status) {
        co_return std::move(*status).error();
    }
    if (!(*status)->success()) {
        const auto code = (*status)->exit_code();
        const std::string text = code ? std::to_string(*code) : "unknown";
        screen::write_to_stderr("pacman " + flag + " exited with status: " + text + "\n");
    }
    co_return Result<void>();
}

}  // namespace pacpick
