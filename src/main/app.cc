#include "main/app.h"

#include <signal.h>

#include <optional>
#include <utility>

#include "main/app_state.h"
#include "main/main_loop.h"
#include "main/package_action.h"
#include "main/seams.h"
#include "main/signals.h"
#include "screen/screen_guard.h"

namespace pacpick {

namespace {

/// Stops everything that could still touch the terminal or the state: the event
/// stream first, which returns only once its thread no longer reads the
/// terminal, then the query handles, dropped without cancelling their tasks
/// (nothing waits for them).
void clean_up(AppState& state) {
    state.events.reset();
    state.details_task.reset();
    state.search_task.reset();
}

}  // namespace

rt::Task<Result<void>> main_task(EventSourceOpener open_events) {
    // Made first: a continue that comes while the terminal is being taken
    // finds it taken by then, and the loop takes it again.
    HeardSignals continues{SIGCONT};
    auto guard = screen::ScreenGuard::acquire();
    if (!guard) {
        co_return std::move(guard).error();
    }
    auto events = open_events();
    if (!events) {
        std::move(*guard).release();
        co_return std::move(events).error();
    }
    AppState state(std::move(*events));
    state.screen_guard.emplace(std::move(*guard));

    TerminalDrawer drawer;
    PacmanQueries queries;
    Result<LoopEnd> end = LoopEnd::Quit;
    if (auto first = drawer.draw(state); !first) {
        end = std::move(first).error();
    } else {
        end = co_await run_main_loop(state, drawer, queries, continues);
    }

    // Nothing of the program reads the terminal from here on, before it is
    // given back: what the user types next belongs to the command.
    clean_up(state);
    std::move(*state.screen_guard).release();
    if (!end) {
        co_return std::move(end).error();
    }
    if (*end == LoopEnd::Action) {
        co_return co_await run_package_action(*state.pending_action, state.mode);
    }
    co_return Result<void>();
}

}  // namespace pacpick
