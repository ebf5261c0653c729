// When the relay moves bytes within its pass, on injected time: a relay loop
// of 1 ms steps with a pass step every 50 ms, the device's bytes arriving as
// each case says.
#include "core/RelayPacing.h"

#include <QtTest>

namespace {

constexpr uint32_t kPassMs = 50;
constexpr int32_t kCapacity = 32768;

struct TArrival {
  uint32_t tick;
  int32_t bytes;
};

struct TChunk {
  uint32_t tick;
  int32_t bytes;
  bool operator==(const TChunk &) const = default;
};

// Ticks at which the device's bytes leave for the client, and how many.
QList<TChunk> ChunksLeaving(TRelayPacing &pacing, const QList<TArrival> &arrivals, uint32_t untilTick) {
  QList<TChunk> chunks;
  int32_t collected = 0;
  const auto send = [&](uint32_t tick) {
    chunks.append({tick, collected});
    collected = 0;
    pacing.DeviceChunkGone();
  };
  const auto sendIfDue = [&](uint32_t tick) {
    if (pacing.DeviceChunkDue(tick * 1000, collected, kCapacity))
      send(tick);
  };
  // What is due by a tick leaves before the bytes of that tick are read.
  for (uint32_t tick = 1; tick <= untilTick; ++tick) {
    sendIfDue(tick);
    for (const TArrival &arrival : arrivals) {
      if (arrival.tick == tick) {
        collected += arrival.bytes;
        pacing.DeviceBytesArrived(tick * 1000);
      }
    }
    if (tick % kPassMs == 0 && collected > 0)
      send(tick);
    else
      sendIfDue(tick);
  }
  return chunks;
}

QList<TArrival> Stream(uint32_t from, uint32_t to, int32_t bytesPerMs) {
  QList<TArrival> arrivals;
  for (uint32_t tick = from; tick <= to; ++tick)
    arrivals.append({tick, bytesPerMs});
  return arrivals;
}

} // namespace

Q_DECLARE_METATYPE(QList<TArrival>)
Q_DECLARE_METATYPE(QList<TChunk>)

class TestRelayPacing : public QObject {
  Q_OBJECT

private slots:
  void gapFollowsTheLineSpeed_data();
  void gapFollowsTheLineSpeed();
  void chunksLeaveWhenTheRuleSays_data();
  void chunksLeaveWhenTheRuleSays();
  void waitEndsWhenTheGapDoes();
};

void TestRelayPacing::gapFollowsTheLineSpeed_data() {
  QTest::addColumn<int>("baud");
  QTest::addColumn<uint>("gapUs");
  // 3.5 characters of 11 bits, rounded up, at least 1 ms.
  QTest::newRow("600") << 600 << 64167u;
  QTest::newRow("9600") << 9600 << 4011u;
  QTest::newRow("19200") << 19200 << 2006u;
  QTest::newRow("38400") << 38400 << 1003u;
  QTest::newRow("57600") << 57600 << 1000u;
  QTest::newRow("115200") << 115200 << 1000u;
  QTest::newRow("256000") << 256000 << 1000u;
  QTest::newRow("unknown speed") << 0 << 1000u;
}

void TestRelayPacing::gapFollowsTheLineSpeed() {
  QFETCH(int, baud);
  QFETCH(uint, gapUs);
  QCOMPARE(TRelayPacing::LineGapUs(baud), gapUs);
}

void TestRelayPacing::chunksLeaveWhenTheRuleSays_data() {
  QTest::addColumn<bool>("fixed");
  QTest::addColumn<int>("baud");
  QTest::addColumn<QList<TArrival>>("arrivals");
  QTest::addColumn<QList<TChunk>>("chunks");
  // At 19200 baud the gap is 2.006 ms: on this loop's 1 ms steps the bytes
  // leave at the third step after the last ones came.
  QTest::newRow("a burst leaves one gap after its last byte")
      << false << 19200 << QList<TArrival>{{10, 150}, {10, 50}} << QList<TChunk>{{13, 200}};
  QTest::newRow("a pause shorter than the gap keeps one chunk")
      << false << 19200 << QList<TArrival>{{10, 100}, {12, 100}} << QList<TChunk>{{15, 200}};
  QTest::newRow("a pause longer than the gap makes two")
      << false << 19200 << QList<TArrival>{{10, 100}, {13, 100}} << QList<TChunk>{{13, 100}, {16, 100}};
  QTest::newRow("at 115200 baud the gap is the 1 ms floor")
      << false << 115200 << QList<TArrival>{{10, 100}} << QList<TChunk>{{11, 100}};
  QTest::newRow("a stream that never pauses goes at the pass's steps")
      << false << 19200 << Stream(30, 120, 2) << QList<TChunk>{{50, 42}, {100, 100}, {123, 40}};
  QTest::newRow("a full buffer leaves at once")
      << false << 19200 << QList<TArrival>{{20, kCapacity}} << QList<TChunk>{{20, kCapacity}};
  QTest::newRow("a gap longer than the pass: the pass's step")
      << false << 600 << QList<TArrival>{{10, 20}} << QList<TChunk>{{50, 20}};
  QTest::newRow("fixed pacing: the pass's step, burst or not")
      << true << 19200 << QList<TArrival>{{10, 200}, {70, kCapacity}} << QList<TChunk>{{50, 200}, {100, kCapacity}};
}

void TestRelayPacing::chunksLeaveWhenTheRuleSays() {
  QFETCH(bool, fixed);
  QFETCH(int, baud);
  QFETCH(QList<TArrival>, arrivals);
  QFETCH(QList<TChunk>, chunks);
  TRelayPacing pacing;
  pacing.Configure(fixed, baud);
  QCOMPARE(ChunksLeaving(pacing, arrivals, 3 * kPassMs), chunks);
}

void TestRelayPacing::waitEndsWhenTheGapDoes() {
  TRelayPacing pacing;
  pacing.Configure(false, 19200);
  QCOMPARE(pacing.UsUntilDeviceChunkDue(100000), std::optional<uint32_t>());
  pacing.DeviceBytesArrived(100000);
  QCOMPARE(pacing.UsUntilDeviceChunkDue(101000), std::optional<uint32_t>(1006));
  QCOMPARE(pacing.UsUntilDeviceChunkDue(102005), std::optional<uint32_t>(1));
  QCOMPARE(pacing.UsUntilDeviceChunkDue(102006), std::optional<uint32_t>(0));
  pacing.DeviceChunkGone();
  QCOMPARE(pacing.UsUntilDeviceChunkDue(102006), std::optional<uint32_t>());

  // The microsecond tick wraps about every 71 minutes.
  pacing.DeviceBytesArrived(UINT32_MAX - 500);
  QCOMPARE(pacing.UsUntilDeviceChunkDue(499), std::optional<uint32_t>(1006));

  pacing.Configure(true, 19200);
  pacing.DeviceBytesArrived(100000);
  QCOMPARE(pacing.UsUntilDeviceChunkDue(101000), std::optional<uint32_t>());
}

QTEST_GUILESS_MAIN(TestRelayPacing)
#include "test_relaypacing.moc"
