#pragma once

#include <memory>

#include "base/result.h"
#include "main/seams.h"
#include "runtime/task.h"

namespace pacpick {

/// Opens the terminal event stream the program reads its keys from.
using EventSourceOpener = Result<std::unique_ptr<EventSource>> (*)();

/// The main task: takes the terminal (raw mode, cursor hidden), draws the first
/// frame, runs the loop, gives the terminal back exactly once, and then runs the
/// chosen install or remove command, if any.
rt::Task<Result<void>> main_task(EventSourceOpener open_events);

}  // namespace pacpick
