#pragma once

#include <string>

#include "queries/package.h"
#include "runtime/channel.h"
#include "runtime/task.h"

namespace pacpick {

/// A details request: runs `pacman -Si NAME` and `pacman -Q NAME` side by side
/// and sends exactly one `DetailsResult` with `generation`. The details are
/// absent when the first could not be run; installed is true exactly when the
/// second ran and succeeded.
rt::Task<void> run_details_query(std::string name, DetailsGeneration generation,
                                 rt::Sender<QueryMessage> sender);

}  // namespace pacpick
