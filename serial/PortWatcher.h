#pragma once
// Tells the event loop when an open serial port has bytes to read or room to
// write, so the relay moves bytes as they come instead of at its pass. One
// backend per OS: a descriptor notifier where the port is a descriptor; on
// Windows, where a port handle cannot be waited on by the event loop, a
// precise timer that asks the driver's queues often while bytes move and
// backs off while the line is quiet.

#include "serial/COMUtils.h"

#include <functional>
#include <memory>

class TPortWatcher {
public:
  // Watches `port`, which stays open for the watcher's life; `ready` is called
  // from the event loop whenever a watch has told. Both watches start
  // disarmed.
  TPortWatcher(TCOMHandle port, std::function<void()> ready);
  ~TPortWatcher();
  TPortWatcher(const TPortWatcher &) = delete;
  TPortWatcher &operator=(const TPortWatcher &) = delete;

  // A watch stays armed until the port is ready for it; then it disarms
  // itself and `ready` is called.
  void WatchInput();
  bool WatchingInput() const;
  void WatchOutputRoom();
  bool WatchingOutputRoom() const;
  // Bytes were just moved through the port: a polling backend looks again
  // soon rather than at its quiet-line pace.
  void NoteTraffic();

private:
  struct TBackend;
  std::unique_ptr<TBackend> FBackend;
};
