// Putting the terminal back as the user had it by every road out of the process while the
// terminal backend draws: the normal exit (the backend ends curses), and the fatal and
// terminating signals (abort, a fault, kill), where ncurses cannot be called and the saved mode
// and reset sequence are written out directly before the signal takes its course.
#pragma once

#include <string_view>

namespace host::ui::terminal {

/// Saves the mode of the terminal on `tty` as the one to restore, and installs the handlers
/// of SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTERM, SIGINT, SIGHUP and SIGQUIT (not of a
/// terminating signal the process ignores). The reset sequence goes to `out`. Call once,
/// before curses changes the mode, so that curses leaves those signals to us.
void InstallTerminalRestore(int tty, int out);

/// The bytes that undo curses' changes to the screen: leave the alternate screen, show the
/// cursor, plain attributes. Call while curses is not active.
void SetResetSequence(std::string_view bytes);

/// A SIGINT calls `hook` (in the signal handler: async-signal-safe work only) instead of ending
/// the program, as the cancel command of the window on top; a second one ends the program with
/// status 130 (see InterruptEndsProgram). Null: none.
void SetFirstInterrupt(void (*hook)());

/// The Ctrl-C that ends the program writes a byte to `fd` (a pipe's write end) and returns,
/// for a thread that says what the flash was left as and then ends the process with status
/// 130; a Ctrl-C after that one ends it at once. -1 (the default): it ends at once.
void SetEndingInterrupt(int fd);

/// In a SIGINT handler, for the Ctrl-C that ends the program: gives the terminal back, then
/// tells the SetEndingInterrupt pipe, or ends the process with status 130. Async-signal-safe.
void EndByInterrupt();

/// The window system took the last first Ctrl-C (the cancel reached the window on top).
void InterruptTaken();

/// In a SIGINT handler: whether this Ctrl-C is the second that ends the program rather than a
/// first one, the cancel command. It is when it comes within two seconds of the last first
/// one, or while that one is `pending` (not yet taken); else it becomes the last first one.
/// Async-signal-safe.
bool InterruptEndsProgram(bool pending);

/// Curses draws from now on (true), or has ended (false). While it draws, standard error, when
/// it is a terminal, is held back and written out once the terminal is back: a message
/// printed just before an abort would otherwise be drawn on the alternate screen and wiped.
void SetCursesActive(bool active);

/// Puts the terminal back without ncurses: the saved mode, the reset sequence, the held-back
/// standard error. Does nothing when curses is not active. Async-signal-safe.
void RestoreTerminalNow();

}  // namespace host::ui::terminal
