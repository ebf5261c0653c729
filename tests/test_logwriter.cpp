// The log writer and the log window: splitting, trimming, visibility,
// autoscroll and the saved file.
#include "MainFormFixture.h"

#include <QCheckBox>
#include <QFile>
#include <QListWidget>
#include <QRegularExpression>
#include <QtTest>

class TestLogWriter : public QObject {
  Q_OBJECT

private slots:
  void splitsAndFormatsEntries_data();
  void splitsAndFormatsEntries();
  void dropsEverythingWhileHidden();
  void emptiesTheListAboveTwoThousandEntries();
  void scrollsOnlyWithAutoscroll();
  void savesEntriesWithCrLfInLocalEncoding();
  void savingEmptyListWritesEmptyFile();
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
  const QRegularExpression stamp(QStringLiteral("^\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}: "));
  QVERIFY(stamp.match(fixture.log->Log->item(0)->text()).hasMatch());
}

void TestLogWriter::dropsEverythingWhileHidden() {
  TMainFormFixture fixture;
  fixture.form->WriteLog(QStringLiteral("lost"));
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

QTEST_MAIN(TestLogWriter)
#include "test_logwriter.moc"
