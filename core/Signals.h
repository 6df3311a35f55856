// Stop requests and process safety checks that run before anything else.
//
// SIGINT and SIGTERM do not kill the program outright: they set a stop flag
// (and wake a self-pipe for an event loop), so a command finishes the port
// sequence it is in, releases the port, removes its temporary files and
// writes its trace; then FinishStopRequest ends the process by that signal.
//
// The system's side of each lives in core/platform (signals on POSIX, the
// console control handler on Windows).
#pragma once

#include "core/platform/Platform.h"

namespace tarvel {

// Installs the SIGINT/SIGTERM handlers (without SA_RESTART, so a blocking
// call returns EINTR) and ignores SIGXFSZ, which turns a file-size limit into
// a write error; on Windows, the Ctrl+C / close handler.
void InstallStopHandlers();
// The signal that asked to stop, or 0.
int StopSignal();
inline bool StopRequested() { return StopSignal() != 0; }
// Read end of a pipe that gets a byte for every stop request; -1 before
// InstallStopHandlers, and on Windows.
int StopSignalFd();
// When a stop was requested: ends the process by that signal (default
// action). Returns otherwise.
void FinishStopRequest();

// Gives up root for good, to the user who ran sudo (SUDO_UID and SUDO_GID).
// Without them, or with values that name no ordinary user, `orElse` says
// what happens: stay root (a root session of its own; bad values fail with
// EINVAL) or become "nobody". Returns 1 when root was given up, 0 when there
// was nothing to give up, -1 on failure (errno).
int GiveUpRoot(WithoutSudoUser orElse);

// True when the program runs set-user-ID or set-group-ID (AT_SECURE).
bool RunsWithBorrowedPrivileges();
// The refusal printed then.
const char* BorrowedPrivilegesMessage();

}  // namespace tarvel
