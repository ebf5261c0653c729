// The link label's clicks: a double click counts once, and a press made before
// the label changed its state is not applied to the new state.
#include "MouseEvents.h"
#include "ui/URLLabel.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// Plays a script of steps on a label:
//   p, r, d   press, release, double click
//   tag       the label's state changes
//   off, on   the label is disabled, enabled
int Clicks(const QStringList &steps) {
  TURLLabel label;
  label.resize(60, 14);
  QSignalSpy clicks(&label, &TURLLabel::Click);
  ulong stamp = 1000;
  for (const QString &step : steps) {
    if (step == QLatin1String("tag"))
      label.SetTag(label.Tag() + 1);
    else if (step == QLatin1String("off") || step == QLatin1String("on"))
      label.setEnabled(step == QLatin1String("on"));
    else {
      const QEvent::Type type = step == QLatin1String("p")   ? QEvent::MouseButtonPress
                                : step == QLatin1String("r") ? QEvent::MouseButtonRelease
                                                             : QEvent::MouseButtonDblClick;
      SendLeftButton(&label, type, QPoint(10, 7), stamp += 100);
    }
  }
  return int(clicks.count());
}

} // namespace

class TestURLLabel : public QObject {
  Q_OBJECT

private slots:
  void countsClicksOfTheCurrentState_data() {
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("clicks");
    QTest::newRow("a click") << QStringList{"p", "r"} << 1;
    QTest::newRow("a double click") << QStringList{"p", "r", "d", "r"} << 1;
    QTest::newRow("two clicks") << QStringList{"p", "r", "p", "r"} << 2;
    QTest::newRow("pressed before the state changed, released after") << QStringList{"p", "tag", "r"} << 0;
    QTest::newRow("a click after the state changed") << QStringList{"p", "r", "tag", "p", "r"} << 2;
    QTest::newRow("released while disabled") << QStringList{"p", "off", "r", "on"} << 0;
    QTest::newRow("a click while disabled") << QStringList{"off", "p", "r", "on"} << 0;
  }

  void countsClicksOfTheCurrentState() {
    QFETCH(QStringList, steps);
    QFETCH(int, clicks);
    QCOMPARE(Clicks(steps), clicks);
  }
};

QTEST_MAIN(TestURLLabel)
#include "test_urllabel.moc"
