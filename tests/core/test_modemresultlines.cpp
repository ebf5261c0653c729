// The modem's hang-up result codes in a call's data: only a line of their
// own counts, also when the reads cut it.
#include "core/ModemResultLines.h"
#include "serial/RingThread.h"

#include <QtTest>

class TestModemResultLines : public QObject {
  Q_OBJECT

private slots:
  void findsResultLines_data() {
    QTest::addColumn<QList<QByteArray>>("chunks"); // the call's data, read by read
    QTest::addColumn<QList<uint>>("codes");         // what each read tells
    const auto one = [](const QByteArray &chunk) { return QList<QByteArray>{chunk}; };
    QTest::newRow("verbose result line") << one("\r\nNO CARRIER\r\n") << QList<uint>{RING_NO_CARRIER};
    QTest::newRow("at the start of the data") << one("BUSY\r") << QList<uint>{RING_BUSY};
    QTest::newRow("after LF only") << one("x\nNO ANSWER\r") << QList<uint>{RING_NO_ANSWER};
    QTest::newRow("after a data line") << one("T=20.5\r\nNO DIALTONE\r\n") << QList<uint>{RING_NO_DIALTONE};
    QTest::newRow("lower case") << one("\r\nbusy\r\n") << QList<uint>{RING_BUSY};
    QTest::newRow("inside device data") << one("STATE=BUSY;\r\n") << QList<uint>{0};
    QTest::newRow("no CR after the word") << one("\r\nBUSY\n") << QList<uint>{0};
    QTest::newRow("followed by more on the line") << one("\r\nBUSY LINE\r\n") << QList<uint>{0};
    QTest::newRow("search order beats position") << one("\r\nNO ANSWER\r\nBUSY\r\n") << QList<uint>{RING_BUSY};
    QTest::newRow("line cut before its CR") << QList<QByteArray>{"\r\nNO CARRIER", "\r\n"}
                                            << QList<uint>{0, RING_NO_CARRIER};
    QTest::newRow("line cut inside the word") << QList<QByteArray>{"ok\r\nNO CAR", "RIER\r\n"}
                                              << QList<uint>{0, RING_NO_CARRIER};
    QTest::newRow("line cut after its line break") << QList<QByteArray>{"ok\r\n", "BUSY\r"}
                                                   << QList<uint>{0, RING_BUSY};
    QTest::newRow("data cut before the word is no line start") << QList<QByteArray>{"STATE=", "BUSY\r"}
                                                               << QList<uint>{0, 0};
    QTest::newRow("a line told once") << QList<QByteArray>{"\r\nBUSY\r", "\n", "more"}
                                      << QList<uint>{RING_BUSY, 0, 0};
    // The upper case of U+0149 is U+02BC 'N': "NʼNO CARRIER" to a Unicode upper-casing.
    QTest::newRow("a letter whose upper case spells a code") << one("\r\n\xC5\x89O CARRIER\r\n") << QList<uint>{0};
  }

  void findsResultLines() {
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<uint>, codes);
    TModemResultLines lines;
    QList<uint> told;
    for (const QByteArray &chunk : chunks)
      told.append(lines.Scan(chunk));
    QCOMPARE(told, codes);
  }

  // A new call starts its data afresh: what the last one ended with is no
  // line break before the next one's first bytes.
  void aNewCallStartsAfresh() {
    TModemResultLines lines;
    QCOMPARE(lines.Scan("STATE="), 0u);
    lines.Reset();
    QCOMPARE(lines.Scan("BUSY\r"), uint(RING_BUSY));
  }
};

QTEST_GUILESS_MAIN(TestModemResultLines)
#include "test_modemresultlines.moc"
