// The user-interface thread never waits: a heartbeat timer every 10 ms stays
// on time (never more than 100 ms late) while the session waits out a silent
// identification, hangs up a modem, stops a setup program that ignores
// SIGTERM, and ends a relay because its window closed.
#include "BridgeTestSupport.h"
#include "SessionFixture.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

constexpr int kBeatMs = 10;
constexpr qint64 kMostLateMs = 100;

// Counts how late the event loop runs a timer that should fire every 10 ms.
class THeartbeat {
public:
  THeartbeat() {
    FTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FTimer, &QTimer::timeout, [this] {
      FMostLate = std::max(FMostLate, FSince.restart() - kBeatMs);
      ++FBeats;
    });
    FSince.start();
    FTimer.start(kBeatMs);
  }
  qint64 MostLate() const { return FMostLate; }
  int Beats() const { return FBeats; }

private:
  QTimer FTimer;
  QElapsedTimer FSince;
  qint64 FMostLate = 0;
  int FBeats = 0;
};

// Fast while a modem dials, then as slow as real time, so that the hang-up's
// guard times are real.
class TShiftingClock : public TClock {
public:
  explicit TShiftingClock(uint32_t speedup) : FSpeedup(speedup) {}
  uint32_t TickCount() override {
    std::lock_guard<std::mutex> guard(FLock);
    return Tick();
  }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(RealMs(ms))); }
  bool SleepUnlessStopped(uint32_t ms, const TStopSignal &stop) override {
    return stop.WaitFor(std::chrono::milliseconds(RealMs(ms)));
  }
  uint32_t RealMs(uint32_t ms) override {
    std::lock_guard<std::mutex> guard(FLock);
    return ms == 0 ? 0 : (ms + FSpeedup - 1) / FSpeedup;
  }
  void RealTime() {
    std::lock_guard<std::mutex> guard(FLock);
    FBase = Tick();
    FOrigin = std::chrono::steady_clock::now();
    FSpeedup = 1;
  }

private:
  uint32_t Tick() const {
    const auto elapsed = std::chrono::steady_clock::now() - FOrigin;
    return FBase + uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() * FSpeedup);
  }
  std::mutex FLock;
  uint32_t FSpeedup;
  uint32_t FBase = 0;
  std::chrono::steady_clock::time_point FOrigin = std::chrono::steady_clock::now();
};

// A setup program that SIGTERM does not end, nor the shell's children.
const QByteArray kStubbornProgram = "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 1; done\n";

} // namespace

class TestResponsiveness : public QObject {
  Q_OBJECT

private slots:
  void silentIdentification();
  void modemHangup();
  void disconnectWithAStubbornSetupProgram();
  void closeDuringARelay();
};

void TestResponsiveness::silentIdentification() {
  TScaledClock clock(5); // the 10 s in 2 s
  TSessionFixture cable(TSimProcess::TKind::Device, {QStringLiteral("--silent"), QStringLiteral("on")}, clock);
  THeartbeat heartbeat;
  cable.Click();
  QVERIFY(WaitUntil([&] { return !cable.prompts.isEmpty(); }, 10000));
  QVERIFY(WaitUntil([&] { return cable.session.State() == csIdle; }));
  QVERIFY(heartbeat.Beats() > 50);
  QVERIFY2(heartbeat.MostLate() <= kMostLateMs, qPrintable(QString::number(heartbeat.MostLate())));
}

void TestResponsiveness::modemHangup() {
  TShiftingClock clock(50);
  TSessionFixture modem(TSimProcess::TKind::Modem, {}, clock);
  modem.Click();
  QVERIFY(WaitUntil([&] { return modem.Relaying(); }, 60000));
  clock.RealTime();
  THeartbeat heartbeat;
  modem.Click(); // "+++", 150 ms, "ATH", 150 ms, the port closed
  QVERIFY(WaitUntil([&] { return modem.device.receivedBytes().endsWith("+++ATH\r") && !modem.session.TearingDown(); }));
  QVERIFY2(heartbeat.MostLate() <= kMostLateMs, qPrintable(QString::number(heartbeat.MostLate())));
}

void TestResponsiveness::disconnectWithAStubbornSetupProgram() {
  TSessionFixture cable(TSimProcess::TKind::Device, {}, SystemClock(), "DEMO=stubborn\r\n");
  QVERIFY(cable.AddProgram(QStringLiteral("stubborn"), kStubbornProgram));
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying(); }));
  QTest::qWait(200); // the trap is set
  THeartbeat heartbeat;
  cable.Click();
  QCOMPARE(cable.session.State(), csIdle);
  QVERIFY(cable.session.TearingDown());
  QVERIFY(WaitUntil([&] { return !cable.session.TearingDown(); }, 10000));
  QVERIFY(heartbeat.Beats() > 100); // the grace before the kill was waited out
  QVERIFY2(heartbeat.MostLate() <= kMostLateMs, qPrintable(QString::number(heartbeat.MostLate())));
}

void TestResponsiveness::closeDuringARelay() {
  TSessionFixture cable(TSimProcess::TKind::Device, {}, SystemClock(), "DEMO=stubborn\r\n");
  QVERIFY(cable.AddProgram(QStringLiteral("stubborn"), kStubbornProgram));
  cable.Click();
  QVERIFY(WaitUntil([&] { return cable.Relaying() && cable.ClientConnected(); }));
  QTest::qWait(200);
  THeartbeat heartbeat;
  cable.session.FormClose();
  QVERIFY(WaitUntil([&] { return !cable.session.TearingDown(); }, 10000));
  QVERIFY(heartbeat.Beats() > 100);
  QVERIFY2(heartbeat.MostLate() <= kMostLateMs, qPrintable(QString::number(heartbeat.MostLate())));
}

QTEST_GUILESS_MAIN(TestResponsiveness)
#include "test_responsiveness.moc"
