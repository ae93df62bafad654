#include "queries/catalog_query.h"

#include <new>
#include <string_view>
#include <utility>

#include "process/run.h"
#include "queries/allocator_settings.h"
#include "queries/filter.h"
#include "queries/pacman.h"
#include "runtime/sleep.h"

namespace pacpick {

rt::Task<void> run_catalog_query(std::string query, Mode mode, SearchGeneration generation,
                                 rt::Sender<QueryMessage> sender) {
    NameList names;
    try {
        co_await rt::Sleep(kSearchDelay);
        // Every sync package matches an empty query; listing them all would
        // show nothing useful, so Install waits for at least one character.
        if (mode == Mode::Uninstall || !query.empty()) {
            NameFilter filter(query);
            auto run = process::run_captured(
                mode == Mode::Install ? pacman_sync_names() : pacman_installed_names(),
                [&filter](std::string_view piece) { filter.feed(piece); });
            // The exit status and standard error are not looked at: whatever
            // was listed is used, and a run that failed to start lists nothing.
            if (auto output = co_await run; output.ok()) {
                names = filter.finish();
            }
        }
    } catch (const std::bad_alloc&) {
        // Memory too short for the wait or for the matches fails this search
        // alone, as a package manager that cannot be started does: nothing is
        // listed, and what the search held is free again.
    }
    sender.send(CatalogResult{generation, std::move(names)});
    // The filter's scratch blocks are freed by now; the pages they leave free
    // go back while the answer is drawn, rather than stay resident until the
    // next search, held by whatever small block outlived them.
    give_back_free_heap();
}

}  // namespace pacpick
