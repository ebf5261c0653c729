// Renders the wizard's windows in a few typical states and saves each to a
// PNG file in the folder named by the only argument. The windows are built as
// the program builds them, but with a private settings file and a port list
// made of a fake hardware port and a placeholder extra port, so the pictures
// depend neither on the machine's hardware nor on the user's stored choices.

#include "app/Application.h"
#include "app/Wizard.h"

#include <QAction>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>
#include <QWindow>

#include <cstdio>

namespace {

// A hardware port as sysfs shows one; its device path under /dev is only
// listed, never opened.
void CreateFakeSysfs(const QDir &sysfs) {
  const QString device = sysfs.filePath(QStringLiteral("devices/usb1/1-1/ttyUSB0"));
  const QString classEntry = sysfs.filePath(QStringLiteral("class/tty/ttyUSB0"));
  QDir().mkpath(device);
  QDir().mkpath(classEntry);
  QFile::link(device, classEntry + QStringLiteral("/device"));
}

// An extra port is listed while its path exists: an empty file will do. It is
// named like the demo's simulated device to show how a long path looks.
QString CreateExtraPort(const QDir &folder) {
  const QString path = folder.filePath(QStringLiteral("tandrel-demo-device"));
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    std::fprintf(stderr, "screenshots: cannot create %s\n", qPrintable(path));
  return path;
}

TSessionEnvironment ScreenshotEnvironment(const QDir &folder) {
  TSessionEnvironment environment = TSessionEnvironment::FromSystem();
  const QString sysfs = folder.filePath(QStringLiteral("sys"));
  CreateFakeSysfs(QDir(sysfs));
  environment.portSystem.sysfsRoot = sysfs.toStdString();
  environment.portSystem.devRoot = "/dev";
  environment.portSystem.extraPorts = CreateExtraPort(folder).toStdString();
  environment.storePath = folder.filePath(QStringLiteral("Tandrel.reg"));
  return environment;
}

// Lets the window be mapped and laid out before it is rendered.
void Settle(QWidget *window) {
  window->show();
  const QDeadlineTimer deadline(5000);
  while (!deadline.hasExpired() && !(window->windowHandle() && window->windowHandle()->isExposed()))
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  for (int i = 0; i < 5; ++i)
    QCoreApplication::processEvents();
}

bool Save(QWidget *window, const QDir &out, const char *name) {
  Settle(window);
  const QPixmap picture = window->grab();
  const QString path = out.filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
  if (picture.isNull() || !picture.save(path)) {
    std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s %dx%d\n", qPrintable(path), picture.width(), picture.height());
  return true;
}

void FillLog(TLogModel &log) {
  log.WriteLogChunk("+VER_INFO=?\r\n", QStringLiteral("APP->COM"));
  log.WriteLogChunk("+VER_INFO=KRV-120,2.14,000123\r\nOK\r\n", QStringLiteral("COM->APP"));
  log.WriteLog(QStringLiteral("Запущена программа настройки KRV-120"));
  log.WriteLogChunk("READ 0010 0020\r", QStringLiteral("TCP->COM"));
  log.WriteLogChunk(QByteArrayLiteral("DATA\x3F\x2A\x00\x17\x8C\x41\x02\xFF\x10\x00\x00\x5E\r"),
                    QStringLiteral("COM->TCP"));
  log.WriteLog(QStringLiteral("Установили \"Нет подключения\", Disconnect"));
}

} // namespace

int main(int argc, char *argv[]) {
  TTandrelApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: screenshots OUTPUT_FOLDER\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QTemporaryDir scratch;
  if (!scratch.isValid() || !QDir().mkpath(out.path())) {
    std::fprintf(stderr, "screenshots: cannot prepare the folders\n");
    return 1;
  }
  const QDir scratchDir(scratch.path());

  TWizard wizard(ScreenshotEnvironment(scratchDir));
  TMainTandrelForm &mainForm = wizard.mainForm;
  TLOGForm &log = wizard.logForm;

  mainForm.ShowPhoneHistory({QStringLiteral("+79161234567")});
  mainForm.PhoneNumber->setEditText(QStringLiteral("+79161234567"));
  bool saved = Save(&mainForm, out, "main-idle");

  mainForm.ConnectTypeComboBox->setCurrentIndex(1);
  mainForm.ConnectTypeComboBoxChange();
  mainForm.PortsListComboBox->setCurrentIndex(mainForm.PortsListComboBox->count() - 1);
  saved = Save(&mainForm, out, "main-cable") && saved;

  mainForm.ConnectTypeComboBox->setCurrentIndex(0);
  mainForm.ConnectTypeComboBoxChange();
  mainForm.PortsListComboBox->setCurrentIndex(0);
  // A failed dial as the session shows it, without a modem to fail.
  mainForm.ShowState(csConnecting);
  mainForm.ShowInputs(TInputs{false, false, false, false});
  mainForm.ShowStatus(QStringLiteral("Нет регистрации в сети GSM"), true);
  saved = Save(&mainForm, out, "main-gsm-error") && saved;

  log.show();
  FillLog(wizard.log);
  saved = Save(&log, out, "log") && saved;
  log.N1Click();
  log.N3->trigger();
  FillLog(wizard.log);
  saved = Save(&log, out, "log-hex") && saved;
  saved = Save(&wizard.comSettings, out, "com-settings") && saved;
  saved = Save(&wizard.tcpSettings, out, "tcp-settings") && saved;
  return saved ? 0 : 1;
}
