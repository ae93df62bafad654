#pragma once

#include "base/result.h"
#include "screen/screen_writer.h"

namespace pacpick::screen {

/// The obligation to give the terminal back: it exists only while raw mode is in
/// force and the cursor is hidden. Releasing it shows the cursor, clears the
/// screen, homes the cursor and leaves raw mode, trying a failed step once more
/// and then ignoring the failure; a held guard that is destroyed releases
/// itself, so no way out can forget it.
class ScreenGuard {
  public:
    /// Enters raw mode, then hides the cursor on standard output.
    static Result<ScreenGuard> acquire();
    /// The same, with the cursor commands written through `writer`.
    static Result<ScreenGuard> acquire(ScreenWriter writer);

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
    explicit ScreenGuard(ScreenWriter writer) : writer_(writer), held_(true) {}
    void restore();

    ScreenWriter writer_;
    bool held_;
};

/// For a signal handler, as the process is about to die or stop: puts the
/// terminal's saved attributes back and, if a guard holds standard output,
/// leaves the screen as releasing the guard does (cleared, the cursor at the
/// top-left and shown), with async-signal-safe calls only, no lock, and no
/// write that could block. Nothing while the program is in the background.
/// Done again, it does the same again.
void give_back_terminal_from_handler() noexcept;

/// Whether a guard holds the terminal on standard output. Async-signal-safe.
bool terminal_held() noexcept;

}  // namespace pacpick::screen
