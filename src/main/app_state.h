#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "main/seams.h"
#include "queries/package.h"
#include "runtime/channel.h"
#include "runtime/executor.h"
#include "screen/screen_guard.h"

namespace pacpick {

/// Everything the main task knows, owned by the main task alone for the whole
/// run and never shared with another thread. Background queries get copies of
/// what they need and answer only through the result channel; a generation
/// number per kind of query lets the loop recognise answers made out of date.
struct AppState {
    explicit AppState(std::unique_ptr<EventSource> event_source);

    std::string query;
    /// The names of the last accepted search, filtered and in display order.
    NameList matches;
    std::optional<PackageDetails> details;
    /// Index into `matches`: 0 while it is empty, below its length otherwise.
    uint64_t selected = 0;
    Mode mode = Mode::Install;

    rt::Sender<QueryMessage> result_sender;
    rt::Receiver<QueryMessage> result_receiver;
    SearchGeneration search_generation;
    std::optional<rt::JoinHandle> search_task;
    DetailsGeneration details_generation;
    std::optional<rt::JoinHandle> details_task;

    /// Held while the terminal is ours; released exactly once on the way out.
    /// Declared before `events` so that, on a way out by an exception too, the
    /// event stream has stopped reading the terminal before it is given back.
    std::optional<screen::ScreenGuard> screen_guard;
    std::unique_ptr<EventSource> events;
    /// The package name chosen with Enter, for the install or remove action.
    std::optional<std::string> pending_action;

  private:
    AppState(std::pair<rt::Sender<QueryMessage>, rt::Receiver<QueryMessage>> channel,
             std::unique_ptr<EventSource> event_source);
};

}  // namespace pacpick
