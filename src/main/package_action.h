#pragma once

#include <string>

#include "base/result.h"
#include "queries/package.h"
#include "runtime/task.h"

namespace pacpick {

/// Installs (Install) or removes (Uninstall) `name` with `sudo pacman` in the
/// foreground, on a terminal already given back: "Running pacman FLAG NAME..."
/// first, and a line on standard error when the command fails. The command's
/// own failure is not an error of the program; failing to start or wait is.
/// While it runs, SIGINT and SIGQUIT are the command's alone, and each
/// termination signal is passed on to it, as sudo passes it on to its own;
/// once the command has ended, the terminal has the modes found at start
/// again, and the first termination signal ends the program.
rt::Task<Result<void>> run_package_action(std::string name, Mode mode);

}  // namespace pacpick
