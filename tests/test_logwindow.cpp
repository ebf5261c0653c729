// The log window over the log model: recording while shown, scrolling, the
// popup menu, copying, saving, and the hex view kept across a restart.
#include "MainFormFixture.h"
#include "TestFiles.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QListView>
#include <QMenu>
#include <QtTest>

namespace {

bool NewestInView(const QListView &list) {
  const QAbstractItemModel &model = *list.model();
  return list.viewport()->rect().contains(list.visualRect(model.index(model.rowCount() - 1, 0)));
}

// Waits until the log window's list holds every entry of the log: the model
// tells its views a few times a second.
void ShowAll(TMainFormFixture &fixture) {
  QTRY_COMPARE(fixture.log->Log->model()->rowCount(), int(fixture.logModel.Entries().size()));
}

} // namespace

class TestLogWindow : public QObject {
  Q_OBJECT

private slots:
  void recordsOnlyWhileShown();
  void scrollsWithAutoscrollOrForTheDialer_data();
  void scrollsWithAutoscrollOrForTheDialer();
  void menuCopiesSelectedEntriesAsLines();
  void savesTheListOrReportsInABox();
  void hexViewActionFollowsTheModel();
  void hexViewIsStoredAndRestored();
};

void TestLogWindow::recordsOnlyWhileShown() {
  TMainFormFixture fixture;
  TLOGForm &log = *fixture.log;
  const QStringList before = fixture.LogTexts();
  QVERIFY(!log.isVisible());
  QVERIFY(!fixture.logModel.Recording());
  fixture.logModel.WriteLog(QStringLiteral("lost"));
  fixture.logModel.SetHexView(true);
  fixture.logModel.WriteLogChunk("lost chunk", QStringLiteral("COM->TCP"));
  fixture.logModel.SetHexView(false);

  log.show();
  QVERIFY(fixture.logModel.Recording());
  fixture.logModel.WriteLog(QStringLiteral("shown"));
  log.close(); // closing only hides
  QVERIFY(!log.isVisible() && !fixture.logModel.Recording());
  fixture.logModel.WriteLog(QStringLiteral("lost too"));
  log.show();
  log.hide();
  fixture.logModel.WriteLog(QStringLiteral("lost as well"));
  // A minimized window is still shown.
  log.show();
  log.showMinimized();
  QVERIFY(log.isMinimized() && log.isVisible());
  fixture.logModel.WriteLog(QStringLiteral("minimized"));
  log.showNormal();
  QCOMPARE(fixture.LogTexts(), (before + QStringList{"  shown", "  minimized"}));
}

void TestLogWindow::scrollsWithAutoscrollOrForTheDialer_data() {
  QTest::addColumn<bool>("autoscroll");
  QTest::addColumn<bool>("byDialer");
  QTest::addColumn<bool>("scrolls");
  QTest::newRow("writer without autoscroll") << false << false << false;
  QTest::newRow("writer with autoscroll") << true << false << true;
  QTest::newRow("dialer without autoscroll") << false << true << true;
  QTest::newRow("dialer with autoscroll") << true << true << true;
}

void TestLogWindow::scrollsWithAutoscrollOrForTheDialer() {
  QFETCH(bool, autoscroll);
  QFETCH(bool, byDialer);
  QFETCH(bool, scrolls);
  TMainFormFixture fixture;
  TLOGForm &log = *fixture.log;
  log.show();
  QVERIFY(QTest::qWaitForWindowExposed(&log));
  for (int i = 0; i < 200; ++i)
    fixture.logModel.WriteLog(QStringLiteral("line %1").arg(i));
  ShowAll(fixture);
  QCOMPARE(log.Log->indexAt(QPoint(2, 2)).row(), 0);
  QVERIFY(!NewestInView(*log.Log));

  if (autoscroll)
    log.AutiscrollCheckBox->click();
  QCOMPARE(log.AutiscrollCheckBox->isChecked(), autoscroll);
  // A click alone scrolls nothing.
  QCOMPARE(log.Log->indexAt(QPoint(2, 2)).row(), 0);
  if (byDialer)
    fixture.logModel.AppendDialerLine(QDateTime::currentDateTime(), QStringLiteral(">>"), QStringLiteral("OK"));
  else
    fixture.logModel.WriteLog(QStringLiteral("newest"));
  ShowAll(fixture);
  QCOMPARE(NewestInView(*log.Log), scrolls);
  QCOMPARE(log.Log->indexAt(QPoint(2, 2)).row() == 0, !scrolls);
}

void TestLogWindow::menuCopiesSelectedEntriesAsLines() {
  TMainFormFixture fixture;
  TLOGForm &log = *fixture.log;
  QStringList captions;
  for (const QAction *item : log.PopupMenu->actions())
    captions.append(item->text());
  QCOMPARE(captions, (QStringList{"Очистить", "Сохранить", "Шестнадцатеричный вид", "Копировать"}));
  QVERIFY(log.N3->isCheckable() && !log.N3->isChecked());

  log.show();
  QVERIFY(QTest::qWaitForWindowActive(&log));
  fixture.logModel.Clear();
  for (int i = 0; i < 5; ++i)
    fixture.logModel.WriteLog(QStringLiteral("e%1").arg(i));
  const QStringList entries = fixture.logModel.Entries();
  QCOMPARE(entries.size(), 5);
  ShowAll(fixture);
  log.Log->setFocus();
  QClipboard *clipboard = QGuiApplication::clipboard();
  clipboard->setText(QStringLiteral("before"));
  log.N4->trigger();
  QCOMPARE(clipboard->text(), QStringLiteral("before"));

  // Picked from the bottom up, copied in list order.
  const auto rowCentre = [&log](int row) { return log.Log->visualRect(log.Log->model()->index(row, 0)).center(); };
  QTest::mouseClick(log.Log->viewport(), Qt::LeftButton, {}, rowCentre(3));
  QTest::mouseClick(log.Log->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCentre(1));
  log.N4->trigger();
  QCOMPARE(clipboard->text(), entries[1] + "\n" + entries[3] + "\n");

  QTest::mouseClick(log.Log->viewport(), Qt::LeftButton, Qt::ShiftModifier, rowCentre(4));
  QTest::keyClick(log.Log, Qt::Key_C, Qt::ControlModifier);
  QCOMPARE(clipboard->text(), entries.mid(1).join(QLatin1Char('\n')) + "\n");

  log.N1->trigger();
  QCOMPARE(fixture.logModel.rowCount(), 0);
}

void TestLogWindow::savesTheListOrReportsInABox() {
  TMainFormFixture fixture;
  fixture.log->show();
  fixture.logModel.WriteLog(QStringLiteral("precious\rДанные"));
  const QStringList entries = fixture.logModel.Entries();
  fixture.prompts.prompts.clear();

  const QString saved = fixture.Path(QStringLiteral("saved.log"));
  fixture.log->SaveTo(saved);
  QVERIFY(fixture.prompts.prompts.isEmpty());
  QCOMPARE(ReadFile(saved), (entries.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLocal8Bit());

  const QString bad = fixture.Path(QStringLiteral("no/such/folder/x.log"));
  fixture.log->SaveTo(bad);
  QCOMPARE(fixture.prompts.prompts.size(), 1);
  QCOMPARE(fixture.prompts.prompts.first().caption, QStringLiteral("Ошибка"));
  QVERIFY2(fixture.prompts.prompts.first().text.contains(bad), qPrintable(fixture.prompts.prompts.first().text));
  QCOMPARE(fixture.logModel.Entries(), entries);
}

void TestLogWindow::hexViewActionFollowsTheModel() {
  TMainFormFixture fixture;
  QAction &hexView = *fixture.log->N3;
  hexView.trigger();
  QVERIFY(fixture.logModel.HexView());
  hexView.trigger();
  QVERIFY(!fixture.logModel.HexView());
  fixture.logModel.SetHexView(true);
  QVERIFY(hexView.isChecked());
}

void TestLogWindow::hexViewIsStoredAndRestored() {
  QByteArray stored;
  {
    TMainFormFixture first;
    QVERIFY(!first.log->N3->isChecked());
    first.log->N3->trigger();
    first.form->FormClose();
    stored = ReadFile(first.StorePath());
    QVERIFY(!stored.isEmpty());
  }
  {
    TMainFormFixture second(SystemClock(), {}, stored);
    QVERIFY(second.log->N3->isChecked());
    second.log->show();
    second.logModel.WriteLogChunk("\r", QStringLiteral("COM->TCP"));
    QCOMPARE(second.LogTexts().constLast(), QStringLiteral(" COM->TCP [1] 0D"));
    // And back: the text view is stored as well.
    second.log->N3->trigger();
    second.form->FormClose();
    stored = ReadFile(second.StorePath());
  }
  TMainFormFixture third(SystemClock(), {}, stored);
  QVERIFY(!third.log->N3->isChecked());
  QVERIFY(!third.logModel.HexView());
}

QTEST_MAIN(TestLogWindow)
#include "test_logwindow.moc"
