#include "process/pacman.h"

#include <utility>

namespace pacpick::process {

namespace {

/// The operation's arguments with `name` as its target. A name that begins with
/// "-" (any repository can list one) would be read as an option, so it goes
/// after "--"; every other name is passed exactly as it is.
std::vector<std::string> with_target(std::vector<std::string> arguments, std::string name) {
    if (!name.empty() && name.front() == '-') {
        arguments.emplace_back("--");
    }
    arguments.push_back(std::move(name));
    return arguments;
}

}  // namespace

ChildCommand pacman_sync_names() {
    return ChildCommand{"pacman", {"-Slq"}};
}

ChildCommand pacman_installed_names() {
    return ChildCommand{"pacman", {"-Qq"}};
}

ChildCommand pacman_sync_info(std::string name) {
    return ChildCommand{"pacman", with_target({"-Si"}, std::move(name))};
}

ChildCommand pacman_query_installed(std::string name) {
    return ChildCommand{"pacman", with_target({"-Q"}, std::move(name))};
}

ChildCommand sudo_pacman(std::string_view flag, std::string name) {
    return ChildCommand{"sudo", with_target({"pacman", std::string(flag)}, std::move(name))};
}

}  // namespace pacpick::process
