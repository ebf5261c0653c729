#include "core/UndeliveredReport.h"

#include "core/LogModel.h"

namespace {

QString Reason(TUndelivered why) {
  switch (why) {
  case TUndelivered::NoClient:
    return QStringLiteral("программа настройки не подключена");
  case TUndelivered::NotTaken:
    return QStringLiteral("программа настройки не приняла данные");
  }
  return {};
}

} // namespace

TUndeliveredReport::TUndeliveredReport(TLogModel &log, TClock &clock, QObject *parent)
    : QObject(parent), FLog(log), FWindow(clock) {
  connect(&FWindow, &TClockTimer::Timeout, this, &TUndeliveredReport::Flush);
}

void TUndeliveredReport::Dropped(int64_t bytes, TUndelivered why) {
  if (bytes <= 0)
    return;
  if (FBytes > 0 && why != FWhy)
    Flush();
  FWhy = why;
  FBytes += bytes;
  if (!FWindow.IsActive())
    FWindow.Start(kReportMs);
}

void TUndeliveredReport::Flush() {
  FWindow.Stop();
  if (FBytes == 0)
    return;
  FLog.WriteLog(QStringLiteral("Пакет не доставлен, %1: %2 байт").arg(Reason(FWhy)).arg(FBytes));
  FBytes = 0;
}
