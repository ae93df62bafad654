#pragma once

#include <utility>

#include "base/fd.h"
#include "base/result.h"

namespace pacpick::term {

/// The input terminal for one operation: standard input when it is a terminal,
/// borrowed and left open, or else a descriptor opened on /dev/tty, owned and
/// closed again on drop.
class TerminalHandle {
  public:
    static TerminalHandle borrowed(int fd) { return TerminalHandle(fd, UniqueFd()); }
    explicit TerminalHandle(UniqueFd owned) : fd_(owned.get()), owned_(std::move(owned)) {}

    int fd() const { return fd_; }

  private:
    TerminalHandle(int fd, UniqueFd owned) : fd_(fd), owned_(std::move(owned)) {}

    int fd_;
    UniqueFd owned_;  // empty when borrowed
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

/// Puts the raw attributes back while raw mode is in force, for a program that
/// was stopped and continued: its shell may have set the terminal its own way
/// meanwhile. Without raw mode in force it touches nothing.
Result<void> reenter_raw_mode();

/// For a signal handler (a fatal signal, or a stop): puts the saved attributes
/// back if raw mode is in force or being entered, with async-signal-safe calls
/// only and no lock, and answers whether it did. Raw mode stays in force as far
/// as the program knows, so a later call does the same again. Nothing is done
/// while the terminal is another process group's (`in_foreground_from_handler`).
bool give_back_attributes_from_handler() noexcept;

/// Whether the input terminal is the program's to change: it is in the
/// terminal's foreground, or the terminal is not its controlling one.
/// Async-signal-safe.
bool in_foreground_from_handler() noexcept;

/// Puts back the attributes the terminal had before raw mode was first
/// entered, whatever changed them since: a command run in the foreground may
/// leave the terminal its own way, and a shell takes the modes a job leaves as
/// its own. Nothing before a first entry, nor while the terminal is another
/// process group's; a failure is ignored, for nobody could act on it.
void put_back_attributes_found_at_start();

}  // namespace pacpick::term
