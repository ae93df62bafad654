#pragma once

#include <memory>

#include "base/result.h"
#include "main/seams.h"

namespace pacpick {

/// The program's event source: the terminal event stream on the input
/// terminal, whose resize events carry the size the screen layer reports.
Result<std::unique_ptr<EventSource>> open_terminal_events();

}  // namespace pacpick
