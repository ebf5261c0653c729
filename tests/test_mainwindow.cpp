// The main window: controls, hot keys, the connection-type switch, the port
// list, the stored settings at start, and the application's top-level error
// reporting.
#include "MainFormFixture.h"
#include "TestFiles.h"
#include "app/Application.h"
#include "MouseEvents.h"
#include "core/PhoneHistory.h"
#include "core/RegStore.h"
#include "ui/URLLabel.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

class TestMainWindow : public QObject {
  Q_OBJECT

private slots:
  void laysOutTheDesignedControls();
  void hotKeysOpenTheirWindows_data();
  void hotKeysOpenTheirWindows();
  void hotKeysWorkOnlyWhileMainWindowIsActive();
  void connectionTypeShowsAndHidesThePhoneRow();
  void emptyPortListShowsTheBoxAndSelectsNothing();
  void portListOffersExtraPortsAndKeepsSelectionIgnoringCase();
  void settingsDialogsStartWithTheirDefaults();
  void escapedErrorIsShownAndNextEventRuns();
  void brokenSettingsAreReportedOnceSetAsideAndReplaced_data();
  void brokenSettingsAreReportedOnceSetAsideAndReplaced();
  void storedConnectionTypeOutsideTheListIsTheDefault_data();
  void storedConnectionTypeOutsideTheListIsTheDefault();
  void closingTheMainWindowEndsTheProgramWhileOtherWindowsAreOpen();
  void restartRestoresPortTypeAndPhoneHistory();
  void doubleClickOnTheConnectLabelCountsOnce();
  void portListErrorInTheSessionsRefreshIsShownThere();
};

void TestMainWindow::laysOutTheDesignedControls() {
  TMainFormFixture fixture;
  TMainTandrelForm &form = *fixture.form;
  QVERIFY(form.windowTitle().startsWith(QStringLiteral("Мастер подключения v.")));
  QVERIFY(form.windowTitle().size() > QStringLiteral("Мастер подключения v.").size());
  QCOMPARE(form.ConnectTypeComboBox->count(), 2);
  QCOMPARE(form.ConnectTypeComboBox->itemText(0), QStringLiteral("CSD (GSM-модем)"));
  QCOMPARE(form.ConnectTypeComboBox->itemText(1), QStringLiteral("USB/COM (кабель)"));
  QCOMPARE(form.ConnectTypeComboBox->currentIndex(), 0);
  QVERIFY(!form.ConnectTypeComboBox->isEditable());
  QVERIFY(!form.PortsListComboBox->isEditable());
  QVERIFY(form.PhoneNumber->isEditable());
  QCOMPARE(form.SpeedButton1->focusPolicy(), Qt::NoFocus);
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
  QCOMPARE(form.URLLabel1->Tag(), 0);
  QVERIFY(form.URLLabel1->font().underline());
  QCOMPARE(form.URLLabel1->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  QCOMPARE(form.URLLabel1->cursor().shape(), Qt::ArrowCursor);
  QCOMPARE(form.Label7->text(), QStringLiteral("Нет подключения"));
  QCOMPARE(form.minimumSize(), form.maximumSize());
  QVERIFY(form.width() >= 351 && form.height() >= 116);

  // Every status text and caption fits: the labels grow with their text and
  // stay inside the window.
  form.ShowStatus(QStringLiteral("Нет регистрации в сети GSM"), true);
  form.ShowState(csConnecting);
  for (QLabel *label : form.findChildren<QLabel *>()) {
    QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->objectName()));
    QVERIFY2(label->geometry().right() < form.width(), qPrintable(label->objectName()));
  }
  QVERIFY(form.URLLabel1->geometry().right() < form.Label6->x());
}

void TestMainWindow::hotKeysOpenTheirWindows_data() {
  QTest::addColumn<int>("key");
  QTest::addColumn<int>("modifiers");
  QTest::addColumn<QString>("opened");
  const int ctrlAlt = int(Qt::ControlModifier | Qt::AltModifier);
  QTest::newRow("Ctrl+Alt+C") << int(Qt::Key_C) << ctrlAlt << "Настройки COM-порта";
  QTest::newRow("Ctrl+Alt+L") << int(Qt::Key_L) << ctrlAlt << "Данные";
  QTest::newRow("Ctrl+Alt+T") << int(Qt::Key_T) << ctrlAlt << "Настройки TCP сервера";
  QTest::newRow("Ctrl+Shift+Alt+T") << int(Qt::Key_T) << (ctrlAlt | int(Qt::ShiftModifier)) << "Настройки TCP сервера";
  QTest::newRow("Ctrl+L alone") << int(Qt::Key_L) << int(Qt::ControlModifier) << "";
  QTest::newRow("Alt+C alone") << int(Qt::Key_C) << int(Qt::AltModifier) << "";
  QTest::newRow("Ctrl+Alt+X") << int(Qt::Key_X) << ctrlAlt << "";
}

void TestMainWindow::hotKeysOpenTheirWindows() {
  QFETCH(int, key);
  QFETCH(int, modifiers);
  QFETCH(QString, opened);
  TMainFormFixture fixture;
  fixture.form->show();
  fixture.form->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(fixture.form.get()));
  // The key goes through the focused control, as a user's would.
  fixture.form->PhoneNumber->setFocus();
  QTest::keyClick(fixture.form->PhoneNumber, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
  QStringList visible;
  for (QWidget *window : {static_cast<QWidget *>(fixture.comSettings.get()),
                          static_cast<QWidget *>(fixture.tcpSettings.get()), static_cast<QWidget *>(fixture.log.get())})
    if (window->isVisible())
      visible.append(window->windowTitle());
  QCOMPARE(visible, opened.isEmpty() ? QStringList{} : QStringList{opened});
}

void TestMainWindow::hotKeysWorkOnlyWhileMainWindowIsActive() {
  TMainFormFixture fixture;
  fixture.form->show();
  fixture.log->show();
  fixture.log->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(fixture.log.get()));
  QTest::keyClick(fixture.log.get(), Qt::Key_C, Qt::ControlModifier | Qt::AltModifier);
  QVERIFY(!fixture.comSettings->isVisible());
}

void TestMainWindow::connectionTypeShowsAndHidesThePhoneRow() {
  TMainFormFixture fixture;
  TMainTandrelForm &form = *fixture.form;
  form.show();
  form.PhoneNumber->setEditText(QStringLiteral("+7 900"));
  QVERIFY(form.PhoneNumber->isVisible() && form.Label5->isVisible());
  form.ConnectTypeComboBox->setCurrentIndex(1);
  form.ConnectTypeComboBoxChange();
  QVERIFY(!form.PhoneNumber->isVisible() && !form.Label5->isVisible());
  form.ConnectTypeComboBox->setCurrentIndex(0);
  form.ConnectTypeComboBoxChange();
  QVERIFY(form.PhoneNumber->isVisible() && form.Label5->isVisible());
  QCOMPARE(form.PhoneNumber->currentText(), QStringLiteral("+7 900"));
  QCOMPARE(form.Label4->text(), QStringLiteral("COM-порт:"));
}

void TestMainWindow::emptyPortListShowsTheBoxAndSelectsNothing() {
  TMainFormFixture fixture;
  QCOMPARE(fixture.prompts.prompts.size(), 1);
  QCOMPARE(fixture.prompts.prompts.first().text, QStringLiteral("Нет доступных COM портов."));
  QCOMPARE(fixture.prompts.prompts.first().caption, QStringLiteral("Ошибка"));
  QVERIFY(fixture.prompts.prompts.first().icon == TPromptIcon::Error);
  QCOMPARE(fixture.form->PortsListComboBox->currentIndex(), -1);
  // The connect label refuses to work without a port, in any state.
  fixture.form->URLLabel1Click();
  QCOMPARE(fixture.prompts.prompts.size(), 2);
  QCOMPARE(fixture.prompts.prompts.last().text, QStringLiteral("Нет доступных COM портов."));
  QCOMPARE(fixture.form->URLLabel1->Tag(), 0);
  QVERIFY(fixture.form->URLLabel1->isEnabled());
}

void TestMainWindow::portListOffersExtraPortsAndKeepsSelectionIgnoringCase() {
  QTemporaryDir folder;
  const QString first = folder.filePath(QStringLiteral("portA"));
  const QString second = folder.filePath(QStringLiteral("portB"));
  for (const QString &path : {first, second}) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
  }
  TMainFormFixture fixture(SystemClock(), {first, second, folder.filePath(QStringLiteral("absent"))});
  QComboBox *ports = fixture.form->PortsListComboBox;
  QCOMPARE(ports->count(), 2);
  QCOMPARE(ports->currentText(), first);
  TMainTandrelForm::SelectComboItem(ports, second.toUpper());
  QCOMPARE(ports->currentText(), second);
  TMainTandrelForm::SelectComboItem(ports, QStringLiteral("/dev/none"));
  QCOMPARE(ports->currentText(), second);
  fixture.form->SpeedButton1->click();
  QCOMPARE(ports->currentText(), first);
}

void TestMainWindow::settingsDialogsStartWithTheirDefaults() {
  TMainFormFixture fixture;
  QComboBox *speeds = fixture.comSettings->SpeedComboBox;
  QCOMPARE(speeds->count(), 14);
  QCOMPARE(speeds->currentText(), QStringLiteral("19200"));
  QCOMPARE(speeds->itemText(5), QStringLiteral("14400"));
  QCOMPARE(speeds->itemText(13), QStringLiteral("256000"));
  QCOMPARE(fixture.tcpSettings->PortEdit->text(), QStringLiteral("53462"));
  fixture.tcpSettings->show();
  fixture.tcpSettings->PortEdit->setText(QStringLiteral("6000"));
  fixture.tcpSettings->OkButton->click();
  QVERIFY(!fixture.tcpSettings->isVisible());
  QCOMPARE(fixture.tcpSettings->PortEdit->text(), QStringLiteral("6000"));
  fixture.comSettings->show();
  fixture.comSettings->close();
  QVERIFY(!fixture.comSettings->isVisible());
}

namespace {
class TThrowingObject : public QObject {
public:
  int handled = 0;
  bool event(QEvent *event) override {
    if (event->type() == QEvent::User) {
      ++handled;
      if (handled == 1)
        throw std::runtime_error("Failed to set data for 'COM'");
      return true;
    }
    return QObject::event(event);
  }
};
} // namespace

void TestMainWindow::escapedErrorIsShownAndNextEventRuns() {
  TPromptRecorder prompts;
  TThrowingObject target;
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  QCoreApplication::processEvents();
  QCOMPARE(target.handled, 2);
  QCOMPARE(prompts.prompts.size(), 1);
  QCOMPARE(prompts.prompts.first().text, QStringLiteral("Failed to set data for 'COM'"));
  QCOMPARE(prompts.prompts.first().caption, QStringLiteral("Ошибка"));
}

namespace {

const QByteArray kSettingsHead = "Windows Registry Editor Version 5.00\r\n\r\n"
                                 "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n\"phone1\"=\"555\"\r\n";

// A file that stands for a port, listed as an extra port.
class TFakePort {
public:
  TFakePort() {
    QFile file(path);
    file.open(QIODevice::WriteOnly);
  }
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("port"));
};

} // namespace

void TestMainWindow::brokenSettingsAreReportedOnceSetAsideAndReplaced_data() {
  QTest::addColumn<QByteArray>("values");
  QTest::addColumn<QString>("error");
  QTest::newRow("garbage") << QByteArray("garbage\r\n") << QStringLiteral("Файл настроек");
  QTest::newRow("truncated in a value") << kSettingsHead + "\"COM\"=\"/dev/tty" << QStringLiteral("Файл настроек");
  QTest::newRow("truncated in continued data")
      << kSettingsHead + "\"phone2\"=hex(1):31,00,\\\r\n" << QStringLiteral("Файл настроек");
  QTest::newRow("connection type of the wrong type")
      << kSettingsHead + "\"CHANNEL\"=\"1\"\r\n" << QStringLiteral("Invalid data type for 'CHANNEL'");
  QTest::newRow("phone number of the wrong type")
      << kSettingsHead + "\"phone2\"=dword:00000001\r\n" << QStringLiteral("Invalid data type for 'phone2'");
  QTest::newRow("connection type too long")
      << kSettingsHead + "\"CHANNEL\"=hex(4):01,00,00,00,00\r\n" << QStringLiteral("Failed to get data for 'CHANNEL'");
}

void TestMainWindow::brokenSettingsAreReportedOnceSetAsideAndReplaced() {
  QFETCH(QByteArray, values);
  QFETCH(QString, error);
  TFakePort port;
  TMainFormFixture fixture(SystemClock(), {port.path}, values);
  const QString folder = QFileInfo(fixture.StorePath()).path();
  const QStringList aside = QDir(folder).entryList({QStringLiteral("Tandrel.reg.broken-*")}, QDir::Files);
  QCOMPARE(aside.size(), 1);
  const QString asidePath = folder + QLatin1Char('/') + aside.first();
  QCOMPARE(ReadFile(asidePath), values);

  QCOMPARE(fixture.prompts.prompts.size(), 1);
  const TPrompt &shown = fixture.prompts.prompts.first();
  QVERIFY2(shown.text.startsWith(error), qPrintable(shown.text));
  const QString moved = QStringLiteral("Настройки перенесены в %1, приняты настройки по умолчанию").arg(asidePath);
  QVERIFY2(shown.text.endsWith(QLatin1Char('\n') + moved), qPrintable(shown.text));
  QCOMPARE(shown.caption, QStringLiteral("Ошибка"));
  // Said in the log as well, where the log window finds it once opened.
  QVERIFY2(fixture.LogTexts().contains(QStringLiteral("  ") + moved), qPrintable(fixture.LogTexts().join(u'\n')));

  // Start-up went on with the defaults.
  QCOMPARE(fixture.form->PortsListComboBox->count(), 1);
  QCOMPARE(fixture.form->PortsListComboBox->currentText(), port.path);
  QCOMPARE(fixture.form->ConnectTypeComboBox->currentIndex(), 0);
  QCOMPARE(fixture.form->PhoneNumber->count(), 0);
  QVERIFY(!fixture.form->Label5->isHidden());

  // The next save writes a sound file, silently.
  fixture.form->FormClose();
  QCOMPARE(fixture.prompts.prompts.size(), 1);
  const TRegistryKey key(fixture.StorePath());
  QCOMPARE(key.ReadString(QStringLiteral("COM")), port.path);
  QCOMPARE(key.ReadInteger(QStringLiteral("CHANNEL")), 0);
  QCOMPARE(ReadFile(asidePath), values);
}

void TestMainWindow::storedConnectionTypeOutsideTheListIsTheDefault_data() {
  QTest::addColumn<QByteArray>("stored");
  QTest::addColumn<int>("type");
  QTest::newRow("5") << QByteArray("00000005") << 0;
  QTest::newRow("-1") << QByteArray("ffffffff") << 0;
  QTest::newRow("2") << QByteArray("00000002") << 0;
  QTest::newRow("cable") << QByteArray("00000001") << 1;
}

void TestMainWindow::storedConnectionTypeOutsideTheListIsTheDefault() {
  QFETCH(QByteArray, stored);
  QFETCH(int, type);
  TFakePort port;
  TMainFormFixture fixture(SystemClock(), {port.path}, kSettingsHead + "\"CHANNEL\"=dword:" + stored + "\r\n");
  QVERIFY(fixture.prompts.prompts.isEmpty());
  QCOMPARE(fixture.form->ConnectTypeComboBox->currentIndex(), type);
  QCOMPARE(fixture.form->Label5->isHidden(), type == 1);
  fixture.form->FormClose();
  QCOMPARE(TRegistryKey(fixture.StorePath()).ReadInteger(QStringLiteral("CHANNEL")), type);
}

void TestMainWindow::closingTheMainWindowEndsTheProgramWhileOtherWindowsAreOpen() {
  TMainFormFixture fixture;
  fixture.log->show();
  fixture.comSettings->show();
  fixture.form->show();
  QVERIFY(QTest::qWaitForWindowExposed(fixture.form.get()));
  // The program's own event loop: it must end by itself once the main window
  // closes; the bound only keeps a failing test from hanging.
  QTimer::singleShot(0, fixture.form.get(), [&] { fixture.form->close(); });
  QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); });
  QCOMPARE(QCoreApplication::exec(), 0);
}

void TestMainWindow::restartRestoresPortTypeAndPhoneHistory() {
  QTemporaryDir ports;
  const QString first = ports.filePath(QStringLiteral("first")), second = ports.filePath(QStringLiteral("second"));
  for (const QString &path : {first, second}) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
  }
  QByteArray stored;
  {
    TMainFormFixture before(SystemClock(), {first, second});
    before.form->PortsListComboBox->setCurrentIndex(1);
    before.form->ConnectTypeComboBox->setCurrentIndex(1);
    StorePhoneNumber(before.StorePath(), QStringLiteral("111"));
    StorePhoneNumber(before.StorePath(), QStringLiteral("222"));
    before.form->close();
    // The port named in other case, as another program run may have stored it.
    TRegistryKey(before.StorePath()).WriteString(QStringLiteral("COM"), second.toUpper());
    stored = ReadFile(before.StorePath());
  }

  TMainFormFixture after(SystemClock(), {first, second}, stored);
  after.form->show();
  QCOMPARE(after.form->PortsListComboBox->currentText(), second);
  QCOMPARE(after.form->ConnectTypeComboBox->currentIndex(), 1);
  QVERIFY(!after.form->PhoneNumber->isVisible());
  QCOMPARE(after.form->PhoneNumber->count(), 2);
  QCOMPARE(after.form->PhoneNumber->itemText(0), QStringLiteral("222"));
  QCOMPARE(after.form->PhoneNumber->itemText(1), QStringLiteral("111"));
}

// The second press of a double click is no second click: it would cancel
// what the first one started.
void TestMainWindow::doubleClickOnTheConnectLabelCountsOnce() {
  TFakePort port;
  TMainFormFixture fixture(SystemClock(), {port.path});
  TMainTandrelForm &form = *fixture.form;
  form.ConnectTypeComboBox->setCurrentIndex(1);
  form.ConnectTypeComboBoxChange();
  const QPoint inside(5, 5);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonPress, inside, 50000);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonRelease, inside, 50080);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonDblClick, inside, 50200);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonRelease, inside, 50280);
  QCOMPARE(fixture.session->State(), csConnecting);
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Отмена подключения"));
  // A click after it is the user's cancel.
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonPress, inside, 51000);
  SendLeftButton(form.URLLabel1, QEvent::MouseButtonRelease, inside, 51080);
  QCOMPARE(fixture.session->State(), csIdle);
  QCOMPARE(form.URLLabel1->text(), QStringLiteral("Подключить"));
}

// The session asks for the refresh in the middle of a disconnect; an error
// there is shown and does not break the disconnect off.
void TestMainWindow::portListErrorInTheSessionsRefreshIsShownThere() {
  TFakePort port;
  TMainFormFixture fixture(SystemClock(), {port.path});
  const QString table = fixture.Path(QStringLiteral("sys/class/tty"));
  QVERIFY(QDir(table).removeRecursively());
  QFile unreadable(table);
  QVERIFY(unreadable.open(QIODevice::WriteOnly));
  fixture.prompts.prompts.clear();
  emit fixture.session->PortListRefreshRequested();
  QCOMPARE(fixture.prompts.prompts.size(), 1);
  QCOMPARE(fixture.prompts.prompts.first().caption, QStringLiteral("Ошибка"));
  QCOMPARE(fixture.form->PortsListComboBox->currentText(), port.path);
}

int main(int argc, char *argv[]) {
  TTandrelApplication app(argc, argv);
  TestMainWindow test;
  return QTest::qExec(&test, argc, argv);
}

#include "test_mainwindow.moc"
