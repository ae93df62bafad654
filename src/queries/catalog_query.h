#pragma once

#include <chrono>
#include <string>

#include "queries/package.h"
#include "runtime/channel.h"
#include "runtime/task.h"

namespace pacpick {

/// How long a search waits after the keystroke that started it, so that a burst
/// of keys costs one package-manager run instead of one per key.
inline constexpr std::chrono::milliseconds kSearchDelay{120};

/// A catalog search: after the delay, lists the sync repositories' names
/// (Install) or the installed ones (Uninstall), keeps those matching `query`
/// and sends exactly one `CatalogResult` with `generation`. Cancelled during the
/// delay it runs nothing and sends nothing; a failed run, or memory that runs
/// out, gives an empty list.
rt::Task<void> run_catalog_query(std::string query, Mode mode, SearchGeneration generation,
                                 rt::Sender<QueryMessage> sender);

}  // namespace pacpick
