#pragma once

#include <optional>
#include <string>

#include "base/result.h"
#include "main/app_state.h"
#include "main/seams.h"
#include "main/signals.h"
#include "runtime/task.h"
#include "term/event.h"

namespace pacpick {

/// How the main loop ended without an error: the user quit, or chose the
/// package now in `pending_action`.
enum class LoopEnd { Quit, Action };

/// What handling one key or one message asks of the loop.
enum class Reaction { Ignore, Draw, Quit, Action };

/// Runs the loop until a quit key, Enter, an input error or a frame that cannot
/// be drawn. Each pass takes one item from the terminal events or the result
/// channel, chosen at random when both are ready so that neither starves the
/// other; each signal from `continues` (SIGCONT, after a stop) takes the
/// terminal again and redraws.
rt::Task<Result<LoopEnd>> run_main_loop(AppState& state, FrameDrawer& drawer, QueryStarter& queries,
                                        HeardSignals& continues);

/// The key table: changes the state for one key, starting and cancelling queries.
Reaction handle_key(AppState& state, const term::KeyEvent& key, QueryStarter& queries);
/// Accepts a query answer if its generation is the newest of its kind.
Reaction handle_message(AppState& state, QueryMessage message, QueryStarter& queries);

/// Starts a search for the current query and mode, cancelling the previous one.
void restart_search(AppState& state, QueryStarter& queries);
/// Asks for the details of `name`, or publishes "no details" when it is absent.
void request_details(AppState& state, std::optional<std::string> name, QueryStarter& queries);

}  // namespace pacpick
