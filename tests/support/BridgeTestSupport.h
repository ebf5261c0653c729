#pragma once
// Small helpers for tests of the bridge: free TCP ports, loopback clients
// and the log window's entries.

#include <QByteArray>
#include <QTcpSocket>

#include <functional>
#include <memory>

// A TCP port that nothing listens on right now.
quint16 FreeTcpPort();

// A connected loopback client, or nullptr after `timeoutMs`.
std::unique_ptr<QTcpSocket> ConnectClient(quint16 port, int timeoutMs = 3000);

// Reads from `client` until `count` bytes came or `timeoutMs` passed,
// processing events meanwhile.
QByteArray ReadExactly(QTcpSocket &client, qsizetype count, int timeoutMs = 5000);

// The 256 byte values in order.
QByteArray AllByteValues();

// `size` pseudo-random bytes, the same for the same seed.
QByteArray RandomBytes(qsizetype size, quint32 seed);

// The headers of a Windows executable, as few bytes as the PE check reads:
// what the launcher hands to wine (a stand-in wine never runs it).
QByteArray MinimalPeImage();

// Processes events until `condition` holds or `timeoutMs` passed.
bool WaitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);
