#pragma once

#include "runtime/result.h"

namespace pacpick::term {

/// The input terminal for one operation: standard input when it is a terminal,
/// otherwise a descriptor opened on /dev/tty that is closed again on drop.
class TerminalHandle {
  public:
    TerminalHandle(int fd, bool close_when_done) : fd_(fd), close_when_done_(close_when_done) {}
    TerminalHandle(TerminalHandle&& other) noexcept;
    TerminalHandle& operator=(TerminalHandle&&) = delete;
    ~TerminalHandle();

    int fd() const { return fd_; }
    bool close_when_done() const { return close_when_done_; }

  private:
    int fd_;
    bool close_when_done_;
};

/// Standard input if it is a terminal, else the controlling terminal.
Result<TerminalHandle> open_input_terminal();

/// Switches the input terminal to raw mode, saving the attributes it had at the
/// first successful entry; entering again while raw changes nothing.
Result<void> enter_raw_mode();
/// Puts the saved attributes back; without a prior entry it touches nothing.
/// On failure the saved attributes stay, so a later call can try again.
Result<void> leave_raw_mode();
/// Whether raw mode is in force (attributes are saved and not yet restored).
bool raw_mode_active();

/// For a process about to die of a fatal signal or an uncaught exception: puts
/// the saved attributes back if raw mode is in force, with async-signal-safe
/// calls only and no lock, whatever state the rest of the program is in.
void leave_raw_mode_in_emergency() noexcept;

}  // namespace pacpick::term
