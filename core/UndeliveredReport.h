#pragma once
// Says in the log how many of the device's bytes no setup program got, and
// why: the bytes of a run of such chunks are counted and told once a second,
// so a device that streams while nobody listens does not fill the log.

#include "core/ClockTimer.h"

#include <QObject>
#include <QString>

class TLogModel;

enum class TUndelivered {
  NoClient,    // no setup program is connected
  NotTaken,    // the connected one did not take the chunk
};

class TUndeliveredReport : public QObject {
  Q_OBJECT

public:
  static constexpr uint32_t kReportMs = 1000;

  TUndeliveredReport(TLogModel &log, TClock &clock, QObject *parent = nullptr);

  // Counts a chunk that was dropped; the first of a run is told a second
  // later, with the rest of that second's chunks.
  void Dropped(int64_t bytes, TUndelivered why);
  // Tells what is counted now (before a delivered chunk, at the relay's end).
  void Flush();

private:
  TLogModel &FLog;
  TClockTimer FWindow;
  int64_t FBytes = 0;
  TUndelivered FWhy = TUndelivered::NoClient;
};
