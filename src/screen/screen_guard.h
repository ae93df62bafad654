#pragma once

#include "base/result.h"

namespace pacpick::screen {

/// The obligation to give the terminal back: it exists only while raw mode is in
/// force and the cursor is hidden on standard output. Releasing it shows the
/// cursor, clears the screen, homes the cursor and leaves raw mode, ignoring
/// failures; a held guard that is destroyed releases itself, so no way out can
/// forget it.
class ScreenGuard {
  public:
    /// Enters raw mode, then hides the cursor.
    static Result<ScreenGuard> acquire();

    ScreenGuard(ScreenGuard&& other) noexcept;
    ScreenGuard& operator=(ScreenGuard&&) = delete;  // no caller replaces a held guard
    ~ScreenGuard();

    /// Gives the terminal back now. Consumes the guard: a released guard does
    /// nothing more, not even when destroyed.
    void release() &&;
    /// Takes the terminal again as at acquisition (raw mode, the cursor
    /// hidden), for a program that was stopped and has been continued.
    Result<void> retake();

  private:
    ScreenGuard() = default;
    void restore();

    bool held_ = true;
};

/// For a signal handler, as the process is about to die or stop: puts the
/// terminal's saved attributes back and, if a guard holds standard output (or
/// is being acquired), leaves the screen as releasing the guard does, with
/// async-signal-safe calls only, no lock, no write that could block, and
/// nothing changed that the user's shell shares. Nothing while the program is
/// in the background. Done again, it does the same again.
void give_back_terminal_from_handler() noexcept;

}  // namespace pacpick::screen
