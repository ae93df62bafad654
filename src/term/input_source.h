#pragma once

#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "base/result.h"
#include "runtime/epoll_set.h"
#include "runtime/signal_notice.h"
#include "runtime/wake_latch.h"
#include "term/decoder.h"
#include "term/event.h"
#include "term/raw_mode.h"

namespace pacpick::term {

/// Waits until the input terminal is readable, a window-size signal has been
/// noticed (SIGWINCH must be heard through `rt::notice_signal`; the reactor's
/// delivery sets the wake latch), or its wake latch was set, and yields one
/// decoded item at a time; several window-size signals before it looks make one
/// Resize. Bytes are read one at a time and never past the item they complete,
/// so what is typed after the key that ends the program stays in the terminal
/// for the command run next; the bytes already waiting behind an unfinished
/// sequence count as read with it, as one read of them all would have. A read
/// interrupted or with nothing to read is tried again at the next readiness;
/// end of input or any other read error means no key will come again, so once
/// the queued items are out, every call fails with that error at once. Not
/// thread-safe: its owner serialises every call except its wake latch's `set`.
class InputSource {
  public:
    /// How long a wait may last: nothing means without limit.
    using Timeout = std::optional<std::chrono::milliseconds>;
    /// The terminal's size (columns, rows), asked for after each window-size
    /// signal. The screen library answers it; the input side only passes it on.
    using SizeQuery = std::function<Result<Resize>()>;

    /// On `terminal` (the program's is `open_input_terminal`'s); a line feed
    /// decodes as `raw_mode_active` says.
    static Result<std::unique_ptr<InputSource>> create(TerminalHandle terminal,
                                                       SizeQuery size_query);
    InputSource(const InputSource&) = delete;
    InputSource& operator=(const InputSource&) = delete;

    /// An item; nothing when the time-out ran out; the interruption error
    /// (`is_wake_interruption`) when its wake latch was set; the lasting error
    /// of a terminal that is gone; or another error.
    Result<std::optional<DecodedItem>> read_item(Timeout timeout);
    /// Whether an error of `read_item` is the one its wake latch's setting makes.
    static bool is_wake_interruption(const Error& error);
    /// Setting it ends the wait in progress, or else the next one. Any thread.
    std::shared_ptr<rt::WakeLatch> wake_latch() const { return epoll_.latch(); }

  private:
    InputSource(TerminalHandle terminal, SizeQuery size_query, rt::EpollSet epoll);

    std::optional<DecodedItem> read_terminal();
    bool terminal_has_input() const;
    Result<std::optional<DecodedItem>> take_resize();

    TerminalHandle terminal_;
    SizeQuery size_query_;
    rt::EpollSet epoll_;
    rt::SignalListener resized_{SIGWINCH};
    uint64_t resizes_seen_ = 0;
    InputDecoder decoder_{raw_mode_active};
    /// Why no key will come from the terminal again (end of input or a read
    /// error), once that has happened; the terminal is then no longer watched.
    std::optional<Error> terminal_lost_;
};

}  // namespace pacpick::term
