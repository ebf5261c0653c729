#pragma once
// The setup program's side of one session with the bridge, as benchclient
// hands it over: every byte the device streams is checked as a numbered
// record stream and sent straight back, so the device checks it too.

#include "LocalSockets.h"
#include "RecordStream.h"

#include <functional>
#include <string>

class TEchoLink {
public:
  ~TEchoLink() { Close(); }

  // Waits for benchclient to reach us: it does once it is the bridge's client.
  bool Open(TLinkServer &server, TRecordCheck &check, int timeoutMs);
  bool IsOpen() const { return FFd >= 0; }
  void Close();

  // Relays for `ms`; false (and closed) once the session has ended.
  bool Pump(int ms);
  // Relays until `done` holds; false when the session ended or time ran out first.
  bool PumpUntil(const std::function<bool()> &done, int timeoutMs);
  // Relays until the session ends; false when it still runs after `timeoutMs`.
  bool PumpUntilClosed(int timeoutMs);

private:
  bool PumpOnce(int waitMs);

  int FFd = -1;
  TRecordCheck *FCheck = nullptr;
  std::string FEcho; // not yet taken by the link
};
