#include "queries/catalog_query.h"

#include <utility>
#include <vector>

#include "process/pacman.h"
#include "process/run.h"
#include "queries/filter.h"
#include "runtime/reactor.h"

namespace pacpick {

rt::Task<void> run_catalog_query(std::string query, Mode mode, uint64_t generation,
                                 rt::Sender<QueryMessage> sender) {
    co_await rt::Sleep(kSearchDelay);
    std::vector<std::string> names;
    // Every sync package matches an empty query; listing them all would show
    // nothing useful, so Install waits for at least one character.
    if (mode == Mode::Uninstall || !query.empty()) {
        auto run = process::run_captured(mode == Mode::Install
                                             ? process::pacman_sync_names()
                                             : process::pacman_installed_names());
        // The exit status and standard error are not looked at: whatever was
        // listed is used, and a run that failed to start lists nothing.
        if (auto output = co_await run; output.ok()) {
            names = filter_package_names(output->stdout_data, query);
        }
    }
    sender.send(CatalogResult{generation, std::move(names)});
}

}  // namespace pacpick
