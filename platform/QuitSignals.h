#pragma once
// The requests to end the program that arrive as signals (SIGTERM from a
// logout or a kill, SIGINT, SIGHUP when the terminal goes), passed on to the
// event loop as bytes on a pipe: the handler only writes a byte, and the
// loop, watching the pipe, does the work.

// Installs the handlers (once) and returns the descriptor to watch for
// reading; -1 where the system sends no such signals (Windows) or when the
// pipe cannot be made, and the signals then keep their default action.
int QuitSignalDescriptor();

// Empties the pipe; true when at least one request had arrived.
bool TakeQuitRequests();
