#include "queries/details_query.h"

#include <new>
#include <optional>
#include <utility>

#include "process/run.h"
#include "queries/package_info.h"
#include "queries/pacman.h"
#include "runtime/join.h"

namespace pacpick {

rt::Task<void> run_details_query(std::string name, DetailsGeneration generation,
                                 rt::Sender<QueryMessage> sender) {
    std::optional<PackageDetails> details;
    try {
        // Both children start before either is awaited, so they run at the same time.
        auto info_run = process::run_captured(pacman_sync_info(name));
        auto installed_run = process::run_captured(pacman_query_installed(name));
        auto [info, installed] = co_await rt::Join(info_run, installed_run);
        if (info.ok()) {
            PackageInfo parsed = parse_package_info(info->stdout_data);
            details = PackageDetails{std::move(name), std::move(parsed.version),
                                     std::move(parsed.description),
                                     installed.ok() && installed->status.success()};
        }
    } catch (const std::bad_alloc&) {
        // Out of memory fails this query alone, as a package manager that
        // cannot be started does: the details, set last, are still absent.
    }
    sender.send(DetailsResult{generation, std::move(details)});
}

}  // namespace pacpick
