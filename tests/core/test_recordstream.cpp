// The numbered record stream the soak checks the relay with: gaps are
// measured to the byte, records that come twice, out of order or garbled are
// caught, and the pieces of two records met at a gap are not taken for one.

#include "RecordStream.h"

#include <QTest>

namespace {

struct TRange {
  uint64_t from, to; // stream offsets, `to` excluded
};

QByteArray Bytes(const QList<TRange> &ranges) {
  QByteArray bytes;
  for (const TRange &range : ranges)
    for (uint64_t offset = range.from; offset < range.to; ++offset)
      bytes += RecordByte(offset);
  return bytes;
}

constexpr uint64_t R = RecordSize;

} // namespace

Q_DECLARE_METATYPE(QList<TRange>)

class TestRecordStream : public QObject {
  Q_OBJECT

private slots:
  void recordsCarryTheirIndex() {
    QCOMPARE(Bytes({{0x2a * R, 0x2b * R}}), QByteArray("#00000000002a|~\n"));
  }

  void countsGapsDuplicatesAndCorruption_data() {
    QTest::addColumn<QList<TRange>>("ranges");
    QTest::addColumn<int>("breakAfter"); // MarkBreak after this many ranges; -1 none
    QTest::addColumn<QByteArray>("garble"); // replaces the byte at offset 100 of what is fed
    QTest::addColumn<QList<quint64>>("expected"); // records, gaps, lost, duplicates, corrupt, break gaps

    using L = QList<quint64>;
    QTest::newRow("whole") << QList<TRange>{{0, 100 * R}} << -1 << QByteArray() << L{100, 0, 0, 0, 0, 0};
    QTest::newRow("gap inside records") << QList<TRange>{{0, 205}, {1003, 100 * R}} << -1 << QByteArray()
                                        << L{49, 1, 798, 0, 0, 0};
    QTest::newRow("gap at a marked cut") << QList<TRange>{{0, 205}, {1003, 100 * R}} << 1 << QByteArray()
                                         << L{49, 1, 798, 0, 0, 1};
    QTest::newRow("chunk twice") << QList<TRange>{{0, 30 * R}, {20 * R, 40 * R}} << -1 << QByteArray()
                                 << L{40, 0, 0, 10, 0, 0};
    QTest::newRow("garbled byte") << QList<TRange>{{0, 20 * R}} << -1 << QByteArray("x") << L{19, 1, 0, 0, 16, 0};
    // The head of record 5 and the tail of record 50 make "#000000000005|~\n"
    // again: at a marked cut the gap after it is still the cut's.
    QTest::newRow("head and tail make the expected record") << QList<TRange>{{0, 5 * R + 13}, {50 * R + 13, 60 * R}}
                                                             << 1 << QByteArray() << L{14, 1, 720, 0, 0, 1};
    QTest::newRow("record split across a marked cut") << QList<TRange>{{0, 5 * R + 13}, {5 * R + 13, 9 * R}} << 1
                                                      << QByteArray() << L{9, 0, 0, 0, 0, 0};
    // The head of 0x1ff and the tail of 0x300 make 0x1f0, an older record.
    QTest::newRow("head and tail make an older record")
        << QList<TRange>{{0, 0x1ff * R + 12}, {0x300 * R + 12, 0x310 * R}} << -1 << QByteArray()
        << L{0x1ff + 15, 1, (0x301 - 0x1ff) * R - 16, 0, 0, 0};
  }

  void countsGapsDuplicatesAndCorruption() {
    QFETCH(QList<TRange>, ranges);
    QFETCH(int, breakAfter);
    QFETCH(QByteArray, garble);
    QFETCH(QList<quint64>, expected);

    TRecordCheck check;
    QByteArray fed;
    for (int i = 0; i < ranges.size(); ++i) {
      QByteArray bytes = Bytes({ranges[i]});
      if (!garble.isEmpty() && fed.size() <= 100 && fed.size() + bytes.size() > 100)
        bytes[100 - fed.size()] = garble[0];
      fed += bytes;
      // Odd chunk sizes, so records are cut everywhere.
      for (qsizetype at = 0; at < bytes.size(); at += 7)
        check.Feed(std::string_view(bytes.constData() + at, std::min<qsizetype>(7, bytes.size() - at)));
      if (i + 1 == breakAfter)
        check.MarkBreak();
    }
    const TRecordCounts &counts = check.Counts();
    const QList<quint64> actual{counts.records, counts.gaps,    counts.lostBytes,
                                counts.duplicates, counts.corrupt, check.BreakGaps()};
    QCOMPARE(actual, expected);
  }
};

QTEST_APPLESS_MAIN(TestRecordStream)
#include "test_recordstream.moc"
