#pragma once

#include "base/result.h"
#include "main/app_state.h"
#include "main/seams.h"
#include "main/signals.h"
#include "runtime/task.h"

namespace pacpick {

/// How the main loop ended without an error: the user quit, or chose the
/// package now in `pending_action`.
enum class LoopEnd { Quit, Action };

/// Runs the loop until a quit key, Enter, an input error or a frame that cannot
/// be drawn. Each pass takes one item from the terminal events or the result
/// channel, chosen at random when both are ready so that neither starves the
/// other; each signal from `continues` (SIGCONT, after a stop) takes the
/// terminal again and redraws.
rt::Task<Result<LoopEnd>> run_main_loop(AppState& state, FrameDrawer& drawer, QueryStarter& queries,
                                        HeardSignals& continues);

}  // namespace pacpick
