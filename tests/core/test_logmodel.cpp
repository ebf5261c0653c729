// The log model without a window: splitting and stamping entries, chunks in
// the text and hex views, recording, the entry cap, the dialer's lines,
// clearing and the saved file.
#include "LogEntries.h"
#include "TestFiles.h"
#include "core/LogModel.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kStampFormat = QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz");
const QRegularExpression kStamp(QStringLiteral("^(\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}): "));

// A model whose every change is checked against the item model rules, read
// the way a view reads it: through a proxy that keeps its own row mapping, so
// a change the model does not announce leaves it stale.
struct TCheckedModel {
  TLogModel model;
  QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::QtTest};
  QSortFilterProxyModel view;

  TCheckedModel() { view.setSourceModel(&model); }
  // The views learn of new entries within the model's showing interval.
  void Show() { QTRY_COMPARE(model.rowCount(), int(model.Entries().size())); }
  int Count() {
    Show();
    return view.rowCount();
  }
  QStringList Rows() {
    Show();
    QStringList rows;
    for (int row = 0; row < view.rowCount(); ++row)
      rows.append(view.index(row, 0).data().toString());
    return rows;
  }
  // The rows with their time stamps cut off.
  QStringList Texts() { return EntriesAfterStamps(Rows()); }
  void Fill(int count) {
    for (int i = 0; i < count; ++i)
      model.WriteLog(QStringLiteral("old %1").arg(i));
  }
};

// "XX XX …" for `count` copies of one hex pair.
QString RepeatedPair(const QString &pair, int count) { return QStringList(count, pair).join(QLatin1Char(' ')); }

QList<bool> WrittenArguments(const QSignalSpy &spy) {
  QList<bool> byDialer;
  for (const QList<QVariant> &arguments : spy)
    byDialer.append(arguments.at(0).toBool());
  return byDialer;
}

} // namespace

class TestLogModel : public QObject {
  Q_OBJECT

private slots:
  void splitsAndFormatsEntries_data();
  void splitsAndFormatsEntries();
  void logsChunksInTextAndHexView_data();
  void logsChunksInTextAndHexView();
  void hexViewMakesOneEntryPerChunkOnly();
  void recordsNothingWhileNotRecording();
  void emptiesTheListAboveTwoThousandEntries_data();
  void emptiesTheListAboveTwoThousandEntries();
  void dialerLinesKeepTheirFormatAndAlwaysCome();
  void clearEmptiesTheList();
  void savesEntriesWithCrLfInLocalEncoding_data();
  void savesEntriesWithCrLfInLocalEncoding();
  void unwritablePathFailsAndKeepsWhatIsThere_data();
  void unwritablePathFailsAndKeepsWhatIsThere();
};

void TestLogModel::splitsAndFormatsEntries_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("prefix");
  QTest::addColumn<QStringList>("entries");
  QTest::newRow("one line with prefix") << "abc" << "TCP->COM" << QStringList{" TCP->COM abc"};
  QTest::newRow("empty prefix gives two blanks") << "msg" << "" << QStringList{"  msg"};
  QTest::newRow("CR LF lines, final break adds nothing") << "A\r\nB\r\n" << "P" << QStringList{" P A", " P B"};
  QTest::newRow("two CRs give an empty middle entry") << "A\r\rB" << "" << QStringList{"  A", "  ", "  B"};
  QTest::newRow("lone LF splits when a CR is present") << "A\nB\rC" << "" << QStringList{"  A", "  B", "  C"};
  QTest::newRow("LF without CR stays one entry") << "A\nB" << "" << QStringList{"  A\nB"};
  QTest::newRow("NUL ends the text") << QString::fromUtf8("A\r\nB\0C\r\nD", 9) << "" << QStringList{"  A", "  B"};
  QTest::newRow("Cyrillic kept") << "Порт успешно переоткрыт" << "" << QStringList{"  Порт успешно переоткрыт"};
}

void TestLogModel::splitsAndFormatsEntries() {
  QFETCH(QString, text);
  QFETCH(QString, prefix);
  QFETCH(QStringList, entries);
  TCheckedModel log;
  QSignalSpy written(&log.model, &TLogModel::Written);
  const QDateTime before = QDateTime::currentDateTime();
  log.model.WriteLog(text, prefix);
  const QDateTime after = QDateTime::currentDateTime();
  QCOMPARE(log.Texts(), entries);
  QCOMPARE(log.Rows(), log.model.Entries());
  QCOMPARE(WrittenArguments(written), QList<bool>{false});
  for (const QString &entry : log.Rows()) {
    const QRegularExpressionMatch stamp = kStamp.match(entry);
    QVERIFY2(stamp.hasMatch(), qPrintable(entry));
    const QDateTime at = QDateTime::fromString(stamp.captured(1), kStampFormat);
    QVERIFY2(at >= before && at <= after, qPrintable(entry));
  }
}

void TestLogModel::logsChunksInTextAndHexView_data() {
  QTest::addColumn<QByteArray>("chunk");
  QTest::addColumn<QStringList>("textEntries");
  QTest::addColumn<QString>("hexEntry");
  QByteArray everyValue;
  QStringList everyPair;
  for (int value = 0; value < 256; ++value) {
    everyValue.append(char(value));
    everyPair.append(QString::asprintf("%02X", value));
  }
  const QByteArray full(256, 'Z');
  QTest::newRow("empty") << QByteArray() << QStringList{" COM->TCP "} << " COM->TCP [0]";
  QTest::newRow("NUL inside") << QByteArray("AB\0CD", 5) << QStringList{" COM->TCP AB"}
                              << " COM->TCP [5] 41 42 00 43 44";
  QTest::newRow("CR inside") << QByteArray("ab\rcd") << QStringList{" COM->TCP ab", " COM->TCP cd"}
                             << " COM->TCP [5] 61 62 0D 63 64";
  QTest::newRow("all 256 byte values") << everyValue << QStringList{" COM->TCP "}
                                       << " COM->TCP [256] " + everyPair.join(QLatin1Char(' '));
  QTest::newRow("exactly 256 bytes") << full << QStringList{" COM->TCP " + QString(full)}
                                     << " COM->TCP [256] " + RepeatedPair("5A", 256);
  QTest::newRow("257 bytes") << full + "Y" << QStringList{" COM->TCP " + QString(full) + "Y"}
                             << " COM->TCP [257] " + RepeatedPair("5A", 256) + " …1";
  QTest::newRow("32 KiB") << QByteArray(32768, 'x') << QStringList{" COM->TCP " + QString(32768, 'x')}
                          << " COM->TCP [32768] " + RepeatedPair("78", 256) + " …32512";
}

void TestLogModel::logsChunksInTextAndHexView() {
  QFETCH(QByteArray, chunk);
  QFETCH(QStringList, textEntries);
  QFETCH(QString, hexEntry);
  TCheckedModel log;
  log.model.WriteLogChunk(chunk, QStringLiteral("COM->TCP"));
  QCOMPARE(log.Texts(), textEntries);
  log.model.Clear();
  log.model.SetHexView(true);
  log.model.WriteLogChunk(chunk, QStringLiteral("COM->TCP"));
  QCOMPARE(log.Texts(), QStringList{hexEntry});
  QVERIFY(kStamp.match(log.model.Entries().constFirst()).hasMatch());
}

void TestLogModel::hexViewMakesOneEntryPerChunkOnly() {
  TCheckedModel log;
  QSignalSpy viewChanged(&log.model, &TLogModel::HexViewChanged);
  log.model.SetHexView(true);
  log.model.SetHexView(true);
  QCOMPARE(viewChanged.size(), 1);
  QVERIFY(log.model.HexView());
  // Status lines keep their lines; a chunk is one entry, and one entry is
  // what the cap counts.
  log.model.WriteLog(QStringLiteral("A\rB"));
  QCOMPARE(log.Texts(), (QStringList{"  A", "  B"}));
  log.model.Clear();
  log.Fill(TLogModel::kMaxEntries + 1);
  log.model.WriteLogChunk("a\r\nb\r", QStringLiteral("TCP->COM"));
  QCOMPARE(log.Texts(), QStringList{" TCP->COM [5] 61 0D 0A 62 0D"});
}

void TestLogModel::recordsNothingWhileNotRecording() {
  TCheckedModel log;
  // Until a view says otherwise, what start-up has to say is kept.
  QVERIFY(log.model.Recording());
  log.model.WriteLog(QStringLiteral("start-up"));
  log.Show();
  log.model.SetRecording(false);
  QSignalSpy written(&log.model, &TLogModel::Written);
  log.model.WriteLog(QStringLiteral("lost"));
  log.model.WriteLogChunk("lost text chunk", QStringLiteral("COM->TCP"));
  log.model.SetHexView(true);
  log.model.WriteLogChunk("lost hex chunk", QStringLiteral("COM->TCP"));
  QCOMPARE(log.Texts(), QStringList{"  start-up"});
  QCOMPARE(written.size(), 0);

  log.model.SetRecording(true);
  log.model.WriteLogChunk("\r", QStringLiteral("COM->TCP"));
  QCOMPARE(log.Texts(), (QStringList{"  start-up", " COM->TCP [1] 0D"}));
}

void TestLogModel::emptiesTheListAboveTwoThousandEntries_data() {
  QTest::addColumn<int>("held");
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("count");
  QTest::addColumn<QStringList>("newest");
  QTest::newRow("2000 held: one more is kept") << 2000 << "kept" << 2001 << QStringList{"  old 1999", "  kept"};
  QTest::newRow("2001 held: emptied before the first line")
      << 2001 << "first\rsecond" << 2 << QStringList{"  first", "  second"};
  // The check comes before each entry: a text that crosses the cap empties
  // the list in its middle.
  QTest::newRow("2000 held: emptied in the middle of a text") << 2000 << "a\rb" << 1 << QStringList{"  b"};
}

void TestLogModel::emptiesTheListAboveTwoThousandEntries() {
  QFETCH(int, held);
  QFETCH(QString, text);
  QFETCH(int, count);
  QFETCH(QStringList, newest);
  TCheckedModel log;
  log.Fill(held);
  QCOMPARE(log.Count(), held);
  log.model.WriteLog(text);
  QCOMPARE(log.Count(), count);
  QCOMPARE(log.Texts().mid(count - newest.size()), newest);
}

void TestLogModel::dialerLinesKeepTheirFormatAndAlwaysCome() {
  TCheckedModel log;
  log.Fill(TLogModel::kMaxEntries);
  log.model.SetRecording(false);
  QSignalSpy written(&log.model, &TLogModel::Written);
  const QDateTime at(QDate(2024, 3, 5), QTime(7, 8, 9, 10));
  // Not recording and above the cap: the dialer's lines still come and
  // empty nothing.
  log.model.AppendDialerLine(at, QStringLiteral("<<"), QStringLiteral("ATD 123"));
  log.model.AppendDialerLine(at.addSecs(3600 * 5), QStringLiteral(">>"), QStringLiteral("CONNECT 9600"));
  QCOMPARE(log.Count(), TLogModel::kMaxEntries + 2);
  QCOMPARE(log.Rows().mid(TLogModel::kMaxEntries),
           (QStringList{"2024.03.05 07:08:09.010:<< ATD 123", "2024.03.05 12:08:09.010:>> CONNECT 9600"}));
  // The views are told once for the lines of one turn of the event loop.
  QCOMPARE(WrittenArguments(written), QList<bool>{true});

  // They count: the writer's next entry finds more than 2000 and empties.
  log.model.SetRecording(true);
  log.model.WriteLog(QStringLiteral("writer"));
  QCOMPARE(log.Texts(), QStringList{"  writer"});
  QCOMPARE(WrittenArguments(written), (QList<bool>{true, false}));
}

void TestLogModel::clearEmptiesTheList() {
  TCheckedModel log;
  log.model.WriteLog(QStringLiteral("one\rtwo"));
  log.model.AppendDialerLine(QDateTime::currentDateTime(), QStringLiteral("<<"), QStringLiteral("AT"));
  log.model.SetRecording(false);
  log.model.Clear();
  QCOMPARE(log.Count(), 0);
  QVERIFY(log.model.Entries().isEmpty());
  log.model.SetRecording(true);
  log.model.WriteLog(QStringLiteral("after"));
  QCOMPARE(log.Texts(), QStringList{"  after"});
}

void TestLogModel::savesEntriesWithCrLfInLocalEncoding_data() {
  QTest::addColumn<QStringList>("entries");
  QTest::addColumn<QByteArray>("bytes");
  const QString hex = "[300] " + RepeatedPair("0A", 256) + " …44";
  QTest::newRow("empty list gives an empty file") << QStringList{} << QByteArray();
  QTest::newRow("CR LF after each entry, local 8-bit")
      << QStringList{"first", "Данные", hex}
      << QByteArray("first\r\n") + QStringLiteral("Данные").toLocal8Bit() + "\r\n" + hex.toLocal8Bit() + "\r\n";
  QTest::newRow("an entry's own LF is kept") << QStringList{"A\nB"} << QByteArray("A\nB\r\n");
}

void TestLogModel::savesEntriesWithCrLfInLocalEncoding() {
  QFETCH(QStringList, entries);
  QFETCH(QByteArray, bytes);
  QTemporaryDir folder;
  QVERIFY(folder.isValid());
  const QString path = folder.filePath(QStringLiteral("saved.log"));
  QVERIFY(WriteFile(path, "previous content that is longer than the new one"));
  QString error;
  QVERIFY(SaveLogEntries(entries, path, &error));
  QCOMPARE(ReadFile(path), bytes);
  QCOMPARE(QFileInfo(path).size(), bytes.size());
}

void TestLogModel::unwritablePathFailsAndKeepsWhatIsThere_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("kept"); // a file already there, relative to the folder
  QTest::newRow("missing folder") << "no/such/folder/x.log" << "";
  QTest::newRow("a folder in the way") << "folder.log" << "folder.log/inside.log";
  // The file is replaced through a temporary one beside it, whose longer name
  // the file system refuses: the save fails with the old file in place.
  const QString longName(250, QLatin1Char('n'));
  QTest::newRow("no room for the temporary file's name") << longName << longName;
}

void TestLogModel::unwritablePathFailsAndKeepsWhatIsThere() {
  QFETCH(QString, name);
  QFETCH(QString, kept);
  QTemporaryDir folder;
  QVERIFY(folder.isValid());
  const QString path = folder.filePath(name);
  const QByteArray old("old log\r\n");
  if (!kept.isEmpty()) {
    QVERIFY(QDir(folder.path()).mkpath(QFileInfo(kept).path()));
    QVERIFY(WriteFile(folder.filePath(kept), old));
  }
  QString error;
  QVERIFY(!SaveLogEntries({QStringLiteral("new entry")}, path, &error));
  QVERIFY(!error.isEmpty());
  if (!kept.isEmpty())
    QCOMPARE(ReadFile(folder.filePath(kept)), old);
  // Nothing left behind but what was there.
  QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
           kept.isEmpty() ? QStringList{} : QStringList{kept.section(QLatin1Char('/'), 0, 0)});
}

QTEST_GUILESS_MAIN(TestLogModel)
#include "test_logmodel.moc"
