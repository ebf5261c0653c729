// The link label's clicks: a double click counts once, and a click that the
// user began before the label changed its state (queued while the program was
// busy) is not applied to the new state.
#include "MouseEvents.h"
#include "ui/URLLabel.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// Time stamps run in the input system's own base, far from the clock's.
constexpr uint32_t kStampBase = 7000000;

// Plays a script of steps on a label, delivering each event at the tick it
// happened at, or later when the label's clock is already past it:
//   pN, rN, dN  press, release, double click that happened at tick N
//   waitN       the program is busy for N ms: nothing is delivered meanwhile
//   tag         the label's state changes
//   off, on     the label is disabled, enabled
class TLabelScript {
public:
  TLabelScript() : FLabel(nullptr, FClock) { FLabel.resize(60, 14); }

  int Clicks(const QStringList &steps) {
    QSignalSpy clicks(&FLabel, &TURLLabel::Click);
    for (const QString &step : steps)
      Play(step);
    return int(clicks.count());
  }

private:
  void Play(const QString &step) {
    if (step == QLatin1String("tag"))
      FLabel.SetTag(FLabel.Tag() + 1);
    else if (step == QLatin1String("off") || step == QLatin1String("on"))
      FLabel.setEnabled(step == QLatin1String("on"));
    else if (step.startsWith(QLatin1String("wait")))
      FClock.Sleep(step.mid(4).toUInt());
    else
      Deliver(step.at(0), step.mid(1).toUInt());
  }

  void Deliver(QChar kind, uint32_t at) {
    if (static_cast<int32_t>(at - FClock.TickCount()) > 0)
      FClock.Sleep(at - FClock.TickCount());
    const QEvent::Type type = kind == u'p'   ? QEvent::MouseButtonPress
                              : kind == u'r' ? QEvent::MouseButtonRelease
                                             : QEvent::MouseButtonDblClick;
    SendLeftButton(&FLabel, type, QPoint(10, 7), kStampBase + at);
  }

  TManualClock FClock{1000};
  TURLLabel FLabel;
};

} // namespace

class TestURLLabel : public QObject {
  Q_OBJECT

private slots:
  void countsClicksOfTheCurrentState_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("clicks");
    QTest::newRow("a click") << QStringList{"p1100", "r1180"} << 1;
    QTest::newRow("a double click") << QStringList{"p1100", "r1180", "d1300", "r1380"} << 1;
    QTest::newRow("two clicks") << QStringList{"p1100", "r1180", "p1900", "r1980"} << 2;
    QTest::newRow("a click made while busy before the state changed")
        << QStringList{"p1100", "r1180", "wait2000", "tag", "p1800", "r1880"} << 1;
    QTest::newRow("two clicks made while busy")
        << QStringList{"p1100", "r1180", "wait2000", "tag", "p1800", "r1880", "p2600", "r2680"} << 1;
    QTest::newRow("a click after the state changed")
        << QStringList{"p1100", "r1180", "wait2000", "tag", "p3300", "r3380"} << 2;
    QTest::newRow("a click made while disabled")
        << QStringList{"p1100", "r1180", "off", "wait800", "on", "p1500", "r1580"} << 1;
    QTest::newRow("pressed before the state changed, released after") << QStringList{"p1100", "tag", "r1180"} << 0;
  }

  void countsClicksOfTheCurrentState() {
    QFETCH(QStringList, steps);
    QFETCH(int, clicks);
    TLabelScript script;
    QCOMPARE(script.Clicks(steps), clicks);
  }
};

QTEST_MAIN(TestURLLabel)
#include "test_urllabel.moc"
