#pragma once

#include <string>
#include <string_view>

#include "process/command.h"

namespace pacpick {

// Every invocation of the package manager, in one place. Programs are bare
// names found through PATH; each element is one argument, never a shell line,
// so a package name is passed unchanged whatever characters it holds. The four
// background queries run with LC_ALL=C.UTF-8 and without LANGUAGE, so that
// pacman's field names are the English ones the parsers look for; the sudo
// command runs in the user's own locale.

/// `pacman -Slq`: the names of all packages in the sync repositories.
process::ChildCommand pacman_sync_names();
/// `pacman -Qq`: the names of the installed packages.
process::ChildCommand pacman_installed_names();
/// `pacman -Si NAME`: version, description and more, as "key : value" lines.
process::ChildCommand pacman_sync_info(std::string name);
/// `pacman -Q NAME`: exits with 0 exactly when the package is installed.
process::ChildCommand pacman_query_installed(std::string name);
/// `sudo pacman FLAG NAME` with FLAG "-S" (install) or "-R" (remove), to run in
/// the foreground on the user's terminal.
process::ChildCommand sudo_pacman(std::string_view flag, std::string name);

}  // namespace pacpick
