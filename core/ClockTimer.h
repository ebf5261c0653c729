#pragma once
// A single-shot timer whose interval is measured on the session's clock (the
// real one, or a faster one under test) to the microsecond, woken by the
// event loop.

#include "platform/Clock.h"

#include <QObject>
#include <QTimer>

class TClockTimer : public QObject {
  Q_OBJECT

public:
  explicit TClockTimer(TClock &clock, QObject *parent = nullptr);

  // Fires once `ms` (or `us`) have passed on the clock; a running timer
  // starts over.
  void Start(uint32_t ms);
  void StartUs(uint32_t us);
  void Stop();
  bool IsActive() const { return FActive; }

signals:
  void Timeout();

private:
  uint32_t RemainingUs() const;
  void Sleep(uint32_t us);
  void Check();

  TClock &FClock;
  QTimer FTimer;
  uint32_t FStartUs = 0;
  uint32_t FIntervalUs = 0;
  bool FActive = false;
};
