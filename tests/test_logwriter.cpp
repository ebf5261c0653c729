// The log writer and the log window: splitting, trimming, visibility,
// autoscroll, the hex view of chunks, copying and the saved file.
#include "ConnectionFixture.h"
#include "MainFormFixture.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QListWidget>
#include <QMenu>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QRegularExpression kStamp(QStringLiteral("^\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}: "));

// "XX XX …" for `count` copies of one hex pair.
QString RepeatedPair(const QString &pair, int count) { return QStringList(count, pair).join(QLatin1Char(' ')); }

// The bytes that the entries with `prefix` show, one piece per run of entries
// in the same view; the text view shows its bytes as Latin-1 text.
QList<QPair<QString, QByteArray>> LoggedPieces(const QStringList &entries, const QString &prefix) {
  static const QRegularExpression hex(QStringLiteral("^\\[\\d+\\]((?: [0-9A-F]{2})*)$"));
  QList<QPair<QString, QByteArray>> pieces;
  const QString head = QLatin1Char(' ') + prefix + QLatin1Char(' ');
  for (const QString &entry : entries) {
    if (!entry.startsWith(head))
      continue;
    const QString body = entry.mid(head.size());
    const QRegularExpressionMatch match = hex.match(body);
    const QString view = match.hasMatch() ? QStringLiteral("hex") : QStringLiteral("text");
    const QByteArray bytes =
        match.hasMatch() ? QByteArray::fromHex(match.captured(1).toLatin1()) : body.toLatin1();
    if (pieces.isEmpty() || pieces.last().first != view)
      pieces.append({view, bytes});
    else
      pieces.last().second += bytes;
  }
  return pieces;
}

} // namespace

class TestLogWriter : public QObject {
  Q_OBJECT

private slots:
  void splitsAndFormatsEntries_data();
  void splitsAndFormatsEntries();
  void logsChunksInTextAndHexView_data();
  void logsChunksInTextAndHexView();
  void hexViewMakesOneEntryPerChunkOnly();
  void switchingTheViewWhileRelayingLosesNothingAndIsRestored();
  void dropsEverythingWhileHidden();
  void emptiesTheListAboveTwoThousandEntries();
  void scrollsOnlyWithAutoscroll();
  void savesEntriesWithCrLfInLocalEncoding();
  void savesHexEntriesWithCrLf();
  void savingEmptyListWritesEmptyFile();
  void menuCopiesSelectedEntriesAsLines();
  void unwritablePathReportsAndKeepsTheList();
};

void TestLogWriter::splitsAndFormatsEntries_data() {
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

void TestLogWriter::splitsAndFormatsEntries() {
  QFETCH(QString, text);
  QFETCH(QString, prefix);
  QFETCH(QStringList, entries);
  TMainFormFixture fixture;
  fixture.log->show();
  fixture.form->WriteLog(text, prefix);
  QCOMPARE(fixture.LogTexts(), entries);
  QVERIFY(kStamp.match(fixture.log->Log->item(0)->text()).hasMatch());
}

void TestLogWriter::logsChunksInTextAndHexView_data() {
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

void TestLogWriter::logsChunksInTextAndHexView() {
  QFETCH(QByteArray, chunk);
  QFETCH(QStringList, textEntries);
  QFETCH(QString, hexEntry);
  TMainFormFixture fixture;
  fixture.log->show();
  fixture.form->WriteLogChunk(chunk, QStringLiteral("COM->TCP"));
  QCOMPARE(fixture.LogTexts(), textEntries);
  fixture.log->Log->clear();
  fixture.log->N3->trigger();
  fixture.form->WriteLogChunk(chunk, QStringLiteral("COM->TCP"));
  QCOMPARE(fixture.LogTexts(), QStringList{hexEntry});
}

void TestLogWriter::hexViewMakesOneEntryPerChunkOnly() {
  TMainFormFixture fixture;
  fixture.log->show();
  fixture.log->N3->trigger();
  // Status lines keep their lines; a chunk is one entry, and one entry is
  // what the trimming rule counts.
  fixture.form->WriteLog(QStringLiteral("A\rB"));
  QCOMPARE(fixture.LogTexts(), (QStringList{"  A", "  B"}));
  fixture.log->Log->clear();
  for (int i = 0; i < 2001; ++i)
    fixture.log->Log->addItem(QStringLiteral("old"));
  fixture.form->WriteLogChunk("a\r\nb\r", QStringLiteral("TCP->COM"));
  QCOMPARE(fixture.LogTexts(), QStringList{" TCP->COM [5] 61 0D 0A 62 0D"});
}

void TestLogWriter::switchingTheViewWhileRelayingLosesNothingAndIsRestored() {
  TConnectionFixture cable;
  TMainTandrelForm &form = cable.form();
  QAction *hexView = cable.fixture.log->N3;
  const auto toggles = [hexView] {
    hexView->trigger();
    return true;
  };
  const QByteArray binary = QByteArrayLiteral("\x00\x01\r\xff");
  const QByteArray frame = QByteArrayLiteral("\x7f\r\n\x00");
  hexView->trigger();
  TScenario scenario;
  scenario.Then("relay started", [&] { return cable.Relaying(); })
      .Then("client connected", [&] { return cable.ClientConnected(); })
      .Then("binary bytes in the hex view", cable.Echoes(scenario, binary))
      .Then("text view", toggles)
      .Then("text in the text view", cable.Echoes(scenario, "alpha"))
      .Then("hex view again", toggles)
      .Then("a frame in the hex view", cable.Echoes(scenario, frame))
      .Then("disconnect", cable.Clicks());
  scenario.Start(form);
  form.URLLabel1Click();
  QVERIFY2(scenario.failure.isEmpty(), qPrintable(scenario.failure));
  QVERIFY(scenario.Finished());

  const QStringList entries = cable.fixture.LogTexts();
  QVERIFY(entries.contains(" APP->COM [13] 2B 56 45 52 5F 49 4E 46 4F 3D 3F 0D 0A"));
  QVERIFY(std::any_of(entries.begin(), entries.end(),
                      [](const QString &entry) { return entry.startsWith(" COM->APP [") && entry.endsWith(" 0D 0A"); }));
  const QList<QPair<QString, QByteArray>> expected{{"hex", binary}, {"text", "alpha"}, {"hex", frame}};
  QCOMPARE(LoggedPieces(entries, QStringLiteral("TCP->COM")), expected);
  QCOMPARE(LoggedPieces(entries, QStringLiteral("COM->TCP")), expected);

  form.FormClose();
  QFile store(cable.fixture.StorePath());
  QVERIFY(store.open(QIODevice::ReadOnly));
  TMainFormFixture next(SystemClock(), {}, store.readAll());
  QVERIFY(next.log->N3->isChecked());
  next.log->show();
  next.form->WriteLogChunk("\r", QStringLiteral("COM->TCP"));
  QCOMPARE(next.LogTexts(), QStringList{" COM->TCP [1] 0D"});
}

void TestLogWriter::dropsEverythingWhileHidden() {
  TMainFormFixture fixture;
  fixture.form->WriteLog(QStringLiteral("lost"));
  fixture.log->N3->trigger();
  fixture.form->WriteLogChunk("lost chunk", QStringLiteral("COM->TCP"));
  fixture.log->show();
  QCOMPARE(fixture.log->Log->count(), 0);
  fixture.log->close(); // closing only hides
  fixture.form->WriteLog(QStringLiteral("lost too"));
  QVERIFY(!fixture.log->isVisible());
  fixture.log->show();
  QCOMPARE(fixture.log->Log->count(), 0);
}

void TestLogWriter::emptiesTheListAboveTwoThousandEntries() {
  TMainFormFixture fixture;
  fixture.log->show();
  for (int i = 0; i < 2001; ++i)
    fixture.log->Log->addItem(QStringLiteral("old"));
  // The check comes before each entry: the second line of a text that crosses
  // the limit starts a fresh list.
  fixture.form->WriteLog(QStringLiteral("first\rsecond"));
  QCOMPARE(fixture.log->Log->count(), 2);
  QCOMPARE(fixture.LogTexts(), (QStringList{"  first", "  second"}));

  fixture.log->Log->clear();
  for (int i = 0; i < 2000; ++i)
    fixture.log->Log->addItem(QStringLiteral("old"));
  fixture.form->WriteLog(QStringLiteral("kept"));
  QCOMPARE(fixture.log->Log->count(), 2001);
}

void TestLogWriter::scrollsOnlyWithAutoscroll() {
  TMainFormFixture fixture;
  fixture.log->show();
  QListWidget *list = fixture.log->Log;
  for (int i = 0; i < 200; ++i)
    fixture.form->WriteLog(QStringLiteral("line %1").arg(i));
  const auto newestInView = [list] {
    return list->viewport()->rect().contains(list->visualItemRect(list->item(list->count() - 1)));
  };
  QCOMPARE(list->indexAt(QPoint(2, 2)).row(), 0);
  QVERIFY(!newestInView());
  QVERIFY(!fixture.form->Autoscroll());

  fixture.log->AutiscrollCheckBox->click();
  QVERIFY(fixture.form->Autoscroll());
  fixture.form->WriteLog(QStringLiteral("newest"));
  QVERIFY(newestInView());
}

void TestLogWriter::savesEntriesWithCrLfInLocalEncoding() {
  TMainFormFixture fixture;
  fixture.log->Log->addItems({QStringLiteral("first"), QStringLiteral("Данные")});
  const QString path = fixture.Path(QStringLiteral("saved.log"));
  QFile old(path);
  QVERIFY(old.open(QIODevice::WriteOnly));
  old.write("previous content that is longer than the new one");
  old.close();
  const qsizetype promptsBefore = fixture.prompts.prompts.size();
  fixture.log->SaveTo(path);
  QFile saved(path);
  QVERIFY(saved.open(QIODevice::ReadOnly));
  QCOMPARE(saved.readAll(), QByteArray("first\r\n") + QStringLiteral("Данные").toLocal8Bit() + "\r\n");
  QCOMPARE(fixture.prompts.prompts.size(), promptsBefore);
}

void TestLogWriter::savesHexEntriesWithCrLf() {
  TMainFormFixture fixture;
  fixture.log->show();
  fixture.log->N3->trigger();
  fixture.form->WriteLogChunk("\r\n", QStringLiteral("COM->TCP"));
  fixture.form->WriteLogChunk(QByteArray(300, '\n'), QStringLiteral("TCP->COM"));
  const QString path = fixture.Path(QStringLiteral("hex.log"));
  fixture.log->SaveTo(path);
  QFile saved(path);
  QVERIFY(saved.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = saved.readAll().split('\n');
  QCOMPARE(lines.size(), 3);
  QVERIFY(lines[2].isEmpty());
  const QStringList expected{" COM->TCP [2] 0D 0A\r", " TCP->COM [300] " + RepeatedPair("0A", 256) + " …44\r"};
  for (int i = 0; i < 2; ++i) {
    const QString line = QString::fromLocal8Bit(lines[i]);
    QVERIFY2(kStamp.match(line).hasMatch(), qPrintable(line));
    QCOMPARE(line.mid(24), expected[i]);
  }
}

void TestLogWriter::savingEmptyListWritesEmptyFile() {
  TMainFormFixture fixture;
  const QString path = fixture.Path(QStringLiteral("empty.log"));
  fixture.log->SaveTo(path);
  QFile saved(path);
  QVERIFY(saved.open(QIODevice::ReadOnly));
  QCOMPARE(saved.size(), 0);
}

void TestLogWriter::unwritablePathReportsAndKeepsTheList() {
  TMainFormFixture fixture;
  fixture.log->Log->addItem(QStringLiteral("precious"));
  fixture.prompts.prompts.clear();
  fixture.log->SaveTo(fixture.Path(QStringLiteral("no/such/folder/x.log")));
  QCOMPARE(fixture.prompts.prompts.size(), 1);
  QCOMPARE(fixture.prompts.prompts.first().caption, QStringLiteral("Ошибка"));
  QVERIFY(fixture.prompts.prompts.first().text.contains(QStringLiteral("x.log")));
  QCOMPARE(fixture.log->Log->count(), 1);
}

void TestLogWriter::menuCopiesSelectedEntriesAsLines() {
  TMainFormFixture fixture;
  TLOGForm &log = *fixture.log;
  QStringList captions;
  for (const QAction *item : log.PopupMenu->actions())
    captions.append(item->text());
  QCOMPARE(captions, (QStringList{"Очистить", "Сохранить", "Шестнадцатеричный вид", "Копировать"}));
  QVERIFY(log.N3->isCheckable() && !log.N3->isChecked());

  log.Log->addItems({"e0", "e1", "e2", "e3", "e4"});
  log.show();
  QVERIFY(QTest::qWaitForWindowActive(&log));
  log.Log->setFocus();
  QClipboard *clipboard = QGuiApplication::clipboard();
  clipboard->setText(QStringLiteral("before"));
  log.N4->trigger();
  QCOMPARE(clipboard->text(), QStringLiteral("before"));

  // Picked from the bottom up, copied in list order.
  QTest::mouseClick(log.Log->viewport(), Qt::LeftButton, {}, log.Log->visualItemRect(log.Log->item(3)).center());
  QTest::mouseClick(log.Log->viewport(), Qt::LeftButton, Qt::ControlModifier,
                    log.Log->visualItemRect(log.Log->item(1)).center());
  log.N4->trigger();
  QCOMPARE(clipboard->text(), QStringLiteral("e1\ne3\n"));

  QTest::mouseClick(log.Log->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                    log.Log->visualItemRect(log.Log->item(4)).center());
  QTest::keyClick(log.Log, Qt::Key_C, Qt::ControlModifier);
  QCOMPARE(clipboard->text(), QStringLiteral("e1\ne2\ne3\ne4\n"));
}

QTEST_MAIN(TestLogWriter)
#include "test_logwriter.moc"
