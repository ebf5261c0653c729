#include "platform/QuitSignals.h"

// The end of a session reaches the window as a close of its own.
int QuitSignalDescriptor() { return -1; }

bool TakeQuitRequests() { return false; }
