#pragma once
// A single-shot timer whose interval is measured on the session's clock (the
// real one, or a faster one under test), woken by the event loop.

#include "platform/Clock.h"

#include <QObject>
#include <QTimer>

class TClockTimer : public QObject {
  Q_OBJECT

public:
  explicit TClockTimer(TClock &clock, QObject *parent = nullptr);

  // Fires once `ms` have passed on the clock; a running timer starts over.
  void Start(uint32_t ms);
  void Stop();
  bool IsActive() const { return FActive; }
  // Milliseconds on the clock until it fires; 0 when it is not running.
  uint32_t Remaining() const;

signals:
  void Timeout();

private:
  void Check();

  TClock &FClock;
  QTimer FTimer;
  uint32_t FStart = 0;
  uint32_t FInterval = 0;
  bool FActive = false;
};
