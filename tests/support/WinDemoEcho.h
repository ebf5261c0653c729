#pragma once
// The echo mode of the Windows demo setup program (DEMOSETUP_ECHO=N), as the
// tests that start it through the bridge see it.

#include <QByteArray>

// How many bytes the tests have it echo.
constexpr int WinDemoEchoSize = 64 * 1024;

// What it sends in that mode: every byte value, XON and XOFF included.
QByteArray WinDemoEchoPattern();
