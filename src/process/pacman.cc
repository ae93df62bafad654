#include "process/pacman.h"

#include <utility>

namespace pacpick::process {

ChildCommand pacman_sync_names() {
    return ChildCommand{"pacman", {"-Slq"}};
}

ChildCommand pacman_installed_names() {
    return ChildCommand{"pacman", {"-Qq"}};
}

ChildCommand pacman_sync_info(std::string name) {
    return ChildCommand{"pacman", {"-Si", std::move(name)}};
}

ChildCommand pacman_query_installed(std::string name) {
    return ChildCommand{"pacman", {"-Q", std::move(name)}};
}

ChildCommand sudo_pacman(std::string_view flag, std::string name) {
    return ChildCommand{"sudo", {"pacman", std::string(flag), std::move(name)}};
}

}  // namespace pacpick::process
