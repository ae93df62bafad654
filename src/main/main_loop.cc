#include "main/main_loop.h"

#include <utility>
#include <variant>

#include "runtime/select.h"
#include "text/utf8.h"

namespace pacpick {

namespace {

using term::KeyCode;
using term::KeyEvent;
using term::KeyModifiers;

std::optional<std::string> selected_name(const AppState& state) {
    if (state.matches.empty()) {
        return std::nullopt;
    }
    return std::string(state.matches[state.selected]);
}

/// What handling one key or one message asks of the loop.
enum class Reaction { Ignore, Draw, Quit, Action };

/// Starts a search for the current query and mode, cancelling the previous one.
void restart_search(AppState& state, QueryStarter& queries) {
    state.selected = 0;
    state.search_generation = state.search_generation.next();
    if (state.search_task) {
        state.search_task->cancel();
        state.search_task.reset();
    }
    state.search_task =
        queries.start_search(state.query, state.mode, state.search_generation, state.result_sender);
}

/// Asks for the details of `name`, or publishes "no details" when it is absent.
void request_details(AppState& state, std::optional<std::string> name, QueryStarter& queries) {
    if (state.details_task) {
        state.details_task->cancel();
        state.details_task.reset();
    }
    state.details_generation = state.details_generation.next();
    if (!name) {
        // Taken by a later pass of the loop, like any other answer.
        state.result_sender.send(DetailsResult{state.details_generation, std::nullopt});
        return;
    }
    state.details_task =
        queries.start_details(std::move(*name), state.details_generation, state.result_sender);
}

/// Up raises the index (entry 0 sits lowest on screen), Down lowers it; at
/// either end of the list, and on an empty one, the selection holds.
Reaction move_selection(AppState& state, KeyCode::Kind key, QueryStarter& queries) {
    if (key == KeyCode::Kind::Up && state.selected + 1 < state.matches.size()) {
        ++state.selected;
    } else if (key == KeyCode::Kind::Down && state.selected > 0) {
        --state.selected;
    }
    request_details(state, selected_name(state), queries);
    return Reaction::Draw;
}

/// The key table: changes the state for one key, starting and cancelling queries.
Reaction handle_key(AppState& state, const KeyEvent& key, QueryStarter& queries) {
    const KeyCode& code = key.code;
    if (code.is_char(U'c') && key.modifiers.contains(KeyModifiers::CONTROL)) {
        return Reaction::Quit;
    }
    switch (code.kind) {
        case KeyCode::Kind::Esc:
            return Reaction::Quit;
        case KeyCode::Kind::Enter:
            state.pending_action = selected_name(state);
            return state.pending_action ? Reaction::Action : Reaction::Quit;
        case KeyCode::Kind::Up:
        case KeyCode::Kind::Down:
            return move_selection(state, code.kind, queries);
        case KeyCode::Kind::Tab:
            state.mode = state.mode == Mode::Install ? Mode::Uninstall : Mode::Install;
            state.query.clear();
            state.matches.clear();
            state.details.reset();
            request_details(state, std::nullopt, queries);
            restart_search(state, queries);
            return Reaction::Draw;
        case KeyCode::Kind::Backspace:
            if (!state.query.empty()) {  // the last character: its lead byte on
                state.query.resize(text::char_start(state.query, state.query.size() - 1));
            }
            restart_search(state, queries);
            return Reaction::Draw;
        case KeyCode::Kind::Char:
            text::append_utf8(state.query, code.ch);
            restart_search(state, queries);
            return Reaction::Draw;
        default:
            return Reaction::Draw;
    }
}

/// Accepts a query answer if its generation is the newest of its kind.
Reaction handle_message(AppState& state, QueryMessage message, QueryStarter& queries) {
    if (auto* catalog = std::get_if<CatalogResult>(&message)) {
        if (catalog->generation != state.search_generation) {
            return Reaction::Ignore;
        }
        state.matches = std::move(catalog->names);
        state.selected = 0;
        request_details(state, selected_name(state), queries);
        return Reaction::Draw;
    }
    auto& answer = std::get<DetailsResult>(message);
    if (answer.generation != state.details_generation) {
        return Reaction::Ignore;
    }
    state.details = std::move(answer.details);
    return Reaction::Draw;
}

}  // namespace

rt::Task<Result<LoopEnd>> run_main_loop(AppState& state, FrameDrawer& drawer, QueryStarter& queries,
                                        HeardSignals& continues) {
    for (;;) {
        auto next_result = state.result_receiver.recv();
        rt::Select next_item(*state.events, next_result);
        auto outcome = co_await rt::Select(continues, next_item);

        Reaction reaction = Reaction::Ignore;
        if (outcome.index() == 0) {
            // Continued after a stop: the shell may have had the terminal
            // meanwhile, and what it shows is no longer the frame. A terminal
            // that cannot be taken again has hung up (which continues the
            // session's leader too): its input side says so next.
            const bool retaken = !state.screen_guard || state.screen_guard->retake().ok();
            reaction = retaken ? Reaction::Draw : Reaction::Ignore;
        } else if (auto& item = std::get<1>(outcome); item.index() == 0) {
            auto& event = std::get<0>(item);
            if (!event.ok()) {
                // The input side retries what passes (an interrupted or empty
                // read) itself; what reaches here lasts, such as a terminal that
                // is gone, and dropping it would leave the loop deaf or spinning.
                co_return std::move(event).error();
            }
            if (auto* key = std::get_if<KeyEvent>(&*event)) {
                reaction = handle_key(state, *key, queries);
            }
            // Events other than keys are dropped without a frame; a new
            // terminal size shows at the next frame.
        } else if (auto& message = std::get<1>(item)) {
            reaction = handle_message(state, std::move(*message), queries);
        }

        switch (reaction) {
            case Reaction::Ignore:
                continue;
            case Reaction::Quit:
                co_return LoopEnd::Quit;
            case Reaction::Action:
                co_return LoopEnd::Action;
            case Reaction::Draw:
                break;
        }
        if (auto drawn = drawer.draw(state); !drawn) {
            co_return std::move(drawn).error();
        }
    }
}

}  // namespace pacpick
