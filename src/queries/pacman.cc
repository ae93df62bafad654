#include "queries/pacman.h"

#include <utility>

namespace pacpick {

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

/// pacman in the user's language names its fields in that language too
/// ("Beschreibung" in German). C.UTF-8 keeps names and descriptions unchanged,
/// and LANGUAGE goes since it would still choose a translation under it.
process::ChildCommand background_query(std::vector<std::string> arguments) {
    process::ChildCommand command{"pacman", std::move(arguments)};
    command.environment = {{"LC_ALL", "C.UTF-8"}, {"LANGUAGE", std::nullopt}};
    return command;
}

}  // namespace

process::ChildCommand pacman_sync_names() {
    return background_query({"-Slq"});
}

process::ChildCommand pacman_installed_names() {
    return background_query({"-Qq"});
}

process::ChildCommand pacman_sync_info(std::string name) {
    return background_query(with_target({"-Si"}, std::move(name)));
}

process::ChildCommand pacman_query_installed(std::string name) {
    return background_query(with_target({"-Q"}, std::move(name)));
}

// The user's own command keeps the user's locale: its questions are for them.
process::ChildCommand sudo_pacman(std::string_view flag, std::string name) {
    return process::ChildCommand{"sudo",
                                 with_target({"pacman", std::string(flag)}, std::move(name))};
}

}  // namespace pacpick
