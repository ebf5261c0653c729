// Port discovery against a small fake sysfs and /dev tree, and the port list
// the main window makes of it.

#include "serial/COMUtils.h"

#include "core/BridgeSettings.h"
#include "core/LogModel.h"
#include "core/Session.h"
#include "ui/MainFormUnit.h"
#include "support/PromptRecorder.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

namespace {

using TAttributes = QMap<QString, QByteArray>;

const TAttributes FtdiAdapter{{"idVendor", "0403"},
                              {"idProduct", "6001"},
                              {"manufacturer", "FTDI"},
                              {"product", "FT232R USB UART"}};

// Lays out sysfs as the kernel does (class/tty/NAME links into devices/, each
// port with a `device` link to the hardware it sits on) and /dev with udev's
// by-id links.
class TFakeSystem {
public:
  TFakeSystem() {
    QDir(Root()).mkpath("sys/class/tty");
    QDir(Root()).mkpath("dev/serial/by-id");
  }
  bool IsValid() const { return FDir.isValid(); }
  QString Root() const { return FDir.path(); }
  QString Dev(const QString &name) const { return Root() + "/dev/" + name; }
  QString ById(const QString &name) const { return Dev("serial/by-id/" + name); }
  TPortSystem System(const QString &extraPorts = {}) const {
    return {(Root() + "/sys").toStdString(), (Root() + "/dev").toStdString(), extraPorts.toStdString()};
  }

  // A port on the device folder `hardware` (relative to devices/).
  void AddPort(const QString &name, const QString &hardware) {
    const QString entry = AddClassEntry(name, hardware + "/tty/" + name);
    QFile::link(Sys("devices/" + hardware), entry + "/device");
  }
  // A UART on the board; `type` 0 is a placeholder with no UART behind it.
  // Newer kernels put the serial core's controller and port devices between
  // the tty and the board's device.
  void AddUart(const QString &name, const QByteArray &type, const QString &driver, bool behindSerialCore) {
    const QString board = "pnp0/" + name;
    const QString controller = board + "/" + name + ":0", port = controller + "/" + name + ":0.0";
    AddPort(name, behindSerialCore ? port : board);
    Write("class/tty/" + name + "/type", type + "\n");
    if (behindSerialCore) {
      QDir(Sys()).mkpath("bus/serial-base");
      for (const QString &device : {controller, port})
        QFile::link(Sys("bus/serial-base"), Sys("devices/" + device + "/subsystem"));
    }
    if (driver.isEmpty())
      return;
    QDir(Sys()).mkpath("bus/drivers/" + driver);
    QFile::link(Sys("bus/drivers/" + driver), Sys("devices/" + board + "/driver"));
  }
  // A USB serial converter port (ttyUSB*) below an interface of the USB
  // device `usbDevice`, or an ACM port (ttyACM*), which is the interface.
  void AddUsbPort(const QString &name, const QString &usbDevice, const TAttributes &attributes,
                  const QByteArray &interfaceName = {}) {
    const QString device = "pci0/usb1/" + usbDevice;
    const QString interface = device + "/" + usbDevice + ":1.0";
    AddPort(name, name.startsWith("ttyACM") ? interface : interface + "/" + name);
    for (auto attribute = attributes.begin(); attribute != attributes.end(); ++attribute)
      Write("devices/" + device + "/" + attribute.key(), attribute.value() + "\n");
    if (!interfaceName.isEmpty())
      Write("devices/" + interface + "/interface", interfaceName + "\n");
  }
  // A terminal with no hardware behind it, such as a virtual console.
  void AddVirtual(const QString &name) { AddClassEntry(name, "virtual/tty/" + name); }
  // A by-id link as udev makes it, relative to the node.
  void AddById(const QString &name, const QString &port) { QFile::link("../../" + port, ById(name)); }
  void Write(const QString &relativePath, const QByteArray &text) {
    QFile file(Sys(relativePath));
    QDir().mkpath(QFileInfo(file).path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
  }

private:
  QString Sys(const QString &relative = {}) const { return Root() + "/sys/" + relative; }
  QString AddClassEntry(const QString &name, const QString &devicePath) {
    const QString target = Sys("devices/" + devicePath);
    QDir().mkpath(target);
    const QString entry = Sys("class/tty/" + name);
    QFile::link(target, entry);
    return entry;
  }

  QTemporaryDir FDir;
};

const QString FirstById = "usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0";
const QString SecondById = "usb-FTDI_FT232R_USB_UART_A9QW2ZTB-if00-port0";

std::vector<std::string> Listed(const TPortSystem &system) {
  std::vector<std::string> list{"stale"};
  ListDosDevices(list, system);
  return list;
}

std::string Text(const QString &text) { return text.toStdString(); }

} // namespace

class TestPortDiscovery : public QObject {
  Q_OBJECT

private slots:
  void initTestCase();
  void listsPortsWithTheirAdaptersAndStableNames();
  void friendlyNamesEndWithThePath();
  void describesWhatTheSystemKnows_data();
  void describesWhatTheSystemKnows();
  void extraPortsFollowWhileTheyExist();
  void missingDeviceTableMeansNoHardware();
  void unreadableDeviceTableRaises();
  void presenceNeedsTheWholePath_data();
  void presenceNeedsTheWholePath();
  void firstSelection_data();
  void firstSelection();

private:
  // A console UART, a placeholder UART, two adapters of one kind (told apart
  // by their serial numbers) with by-id links, a stale by-id link and a
  // virtual console.
  TFakeSystem FSystem;
  TFakeSystem FUartOnly;
  QTemporaryDir FExtraDir;
  QString FExtraPort;
};

void TestPortDiscovery::initTestCase() {
  QVERIFY(FSystem.IsValid() && FUartOnly.IsValid() && FExtraDir.isValid());
  FSystem.AddUart("ttyS0", "4", "serial", true);
  FSystem.AddUart("ttyS1", "0", "serial", true);
  TAttributes first = FtdiAdapter, second = FtdiAdapter;
  first["serial"] = "A5XK3RJT";
  second["serial"] = "A9QW2ZTB";
  FSystem.AddUsbPort("ttyUSB10", "1-2", second);
  FSystem.AddUsbPort("ttyUSB2", "1-1", first);
  FSystem.AddById(SecondById, "ttyUSB10");
  FSystem.AddById(FirstById, "ttyUSB2");
  FSystem.AddById("usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0", "ttyUSB7"); // pulled, link not yet removed
  FSystem.AddVirtual("tty1");
  FUartOnly.AddUart("ttyS0", "4", "serial", false);

  FExtraPort = FExtraDir.filePath("ttySIM0");
  QFile extra(FExtraPort);
  QVERIFY(extra.open(QIODevice::WriteOnly));
}

void TestPortDiscovery::listsPortsWithTheirAdaptersAndStableNames() {
  std::vector<TPortEntry> ports{{"stale", ""}};
  ListPorts(ports, FSystem.System(FExtraPort));
  const std::string first = "FTDI FT232R USB UART, serial A5XK3RJT";
  const std::string second = "FTDI FT232R USB UART, serial A9QW2ZTB";
  // Numeric order (ttyUSB2 before ttyUSB10), each adapter followed by its link.
  const std::vector<TPortEntry> expected{
      {Text(FSystem.Dev("ttyS0")), "serial port, driver serial"},
      {Text(FSystem.Dev("ttyUSB2")), first},
      {Text(FSystem.ById(FirstById)), first},
      {Text(FSystem.Dev("ttyUSB10")), second},
      {Text(FSystem.ById(SecondById)), second},
      {Text(FExtraPort), "virtual port"},
  };
  QCOMPARE(ports, expected);

  std::vector<std::string> paths;
  for (const TPortEntry &port : expected)
    paths.push_back(port.path);
  QCOMPARE(Listed(FSystem.System(FExtraPort)), paths);
}

void TestPortDiscovery::friendlyNamesEndWithThePath() {
  std::vector<std::string> lines{"stale"};
  ListPortFriendlyNames(lines, FUartOnly.System(FExtraPort));
  const std::vector<std::string> expected{
      "0: serial port, driver serial (" + Text(FUartOnly.Dev("ttyS0")) + ")",
      "1: virtual port (" + Text(FExtraPort) + ")",
  };
  QCOMPARE(lines, expected);
}

void TestPortDiscovery::describesWhatTheSystemKnows_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<TAttributes>("usb"); // empty for a UART
  QTest::addColumn<QByteArray>("interfaceName");
  QTest::addColumn<QString>("uartDriver");
  QTest::addColumn<QString>("description");

  QTest::newRow("product without maker or serial")
      << "ttyUSB0" << TAttributes{{"idVendor", "0403"}, {"idProduct", "6001"}, {"product", "FT232R USB UART"}}
      << QByteArray() << QString() << "FT232R USB UART";
  QTest::newRow("ACM port named by its interface")
      << "ttyACM0" << TAttributes{{"idVendor", "1d50"}, {"idProduct", "6018"}, {"serial", "7BB08A41"}}
      << QByteArray("CDC Abstract Control Model") << QString() << "CDC Abstract Control Model, serial 7BB08A41";
  QTest::newRow("nothing but ids") << "ttyUSB0" << TAttributes{{"idVendor", "0403"}, {"idProduct", "6015"}}
                                   << QByteArray() << QString() << "USB 0403:6015";
  QTest::newRow("UART named by its driver")
      << "ttyS0" << TAttributes{} << QByteArray() << "serial8250" << "serial port, driver serial8250";
  QTest::newRow("UART without a driver") << "ttyS0" << TAttributes{} << QByteArray() << QString() << "serial port";
}

void TestPortDiscovery::describesWhatTheSystemKnows() {
  QFETCH(QString, name);
  QFETCH(TAttributes, usb);
  QFETCH(QByteArray, interfaceName);
  QFETCH(QString, uartDriver);
  QFETCH(QString, description);
  TFakeSystem system;
  if (usb.isEmpty())
    system.AddUart(name, "4", uartDriver, false);
  else
    system.AddUsbPort(name, "1-1", usb, interfaceName);
  std::vector<TPortEntry> ports;
  ListPorts(ports, system.System());
  const std::vector<TPortEntry> expected{{Text(system.Dev(name)), Text(description)}};
  QCOMPARE(ports, expected);
}

void TestPortDiscovery::extraPortsFollowWhileTheyExist() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString first = dir.filePath("b-port");
  const QString second = dir.filePath("a-port");
  for (const QString &path : {first, second}) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
  }
  const QString missing = dir.filePath("gone");
  qputenv("TANDREL_EXTRA_PORTS", (first + "::" + missing + ":" + second + ":" + first).toLocal8Bit());
  TPortSystem system = TPortSystem::FromEnvironment();
  qunsetenv("TANDREL_EXTRA_PORTS");
  QCOMPARE(system.sysfsRoot, std::string("/sys"));
  QCOMPARE(system.devRoot, std::string("/dev"));
  system.sysfsRoot = FUartOnly.System().sysfsRoot;
  system.devRoot = FUartOnly.System().devRoot;

  const std::vector<std::string> expected{Text(FUartOnly.Dev("ttyS0")), Text(first), Text(second)};
  QCOMPARE(Listed(system), expected);
  QVERIFY(IsPortPresent(Text(second), system));
  QVERIFY(!IsPortPresent(Text(missing), system));

  QVERIFY(QFile::remove(second));
  QVERIFY(!IsPortPresent(Text(second), system));
  QVERIFY(IsPortPresent(Text(first), system));
}

void TestPortDiscovery::missingDeviceTableMeansNoHardware() {
  TPortSystem system = FSystem.System(FExtraPort);
  system.sysfsRoot = Text(FExtraDir.filePath("no-sysfs"));
  const std::vector<std::string> expected{Text(FExtraPort)};
  QCOMPARE(Listed(system), expected);
}

void TestPortDiscovery::unreadableDeviceTableRaises() {
  // class/tty is a file here, so the table cannot be read.
  QTemporaryDir broken;
  QVERIFY(broken.isValid());
  QVERIFY(QDir(broken.path()).mkpath("class"));
  QFile notAFolder(broken.filePath("class/tty"));
  QVERIFY(notAFolder.open(QIODevice::WriteOnly));
  TPortSystem system = FSystem.System(FExtraPort);
  system.sysfsRoot = Text(broken.path());

  std::vector<std::string> list{"kept"};
  QVERIFY_THROWS_EXCEPTION(std::runtime_error, ListDosDevices(list, system));
  try {
    ListDosDevices(list, system);
  } catch (const std::runtime_error &error) {
    QCOMPARE(std::string(error.what()), std::string("Not a directory"));
  }
  QCOMPARE(list, std::vector<std::string>{"kept"});
  std::vector<TPortEntry> ports{{"kept", ""}};
  QVERIFY_THROWS_EXCEPTION(std::runtime_error, ListPorts(ports, system));
  QCOMPARE(ports.size(), size_t(1));

  // The presence check never raises: it still sees the extra port.
  QVERIFY(IsPortPresent(Text(FExtraPort), system));
  QVERIFY(!IsPortPresent(Text(FSystem.Dev("ttyUSB2")), system));
}

void TestPortDiscovery::presenceNeedsTheWholePath_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<bool>("present");
  QTest::newRow("exact path") << FSystem.Dev("ttyUSB2") << true;
  QTest::newRow("other case") << FSystem.Dev("ttyusb10").toUpper() << true;
  QTest::newRow("prefix of a longer path") << FSystem.Dev("ttyUSB1") << false;
  QTest::newRow("bare device name") << "ttyUSB2" << false;
  QTest::newRow("path with trailing text") << FSystem.Dev("ttyUSB2x") << false;
  QTest::newRow("console UART") << FSystem.Dev("ttyS0") << true;
  QTest::newRow("placeholder UART") << FSystem.Dev("ttyS1") << false;
  QTest::newRow("terminal without hardware") << FSystem.Dev("tty1") << false;
  QTest::newRow("by-id link") << FSystem.ById(FirstById) << true;
  QTest::newRow("by-id link in other case") << FSystem.ById(SecondById).toLower() << true;
  QTest::newRow("by-id link of a pulled adapter") << FSystem.ById("usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0")
                                                  << false;
  QTest::newRow("description text") << "FT232R" << false;
  QTest::newRow("nothing selected") << "" << false;
}

void TestPortDiscovery::presenceNeedsTheWholePath() {
  QFETCH(QString, name);
  QFETCH(bool, present);
  QCOMPARE(IsPortPresent(Text(name), FSystem.System(FExtraPort)), present);
}

void TestPortDiscovery::firstSelection_data() {
  QTest::addColumn<bool>("withAdapters");
  QTest::addColumn<QString>("stored");
  QTest::addColumn<QString>("selected");
  QTest::newRow("first start: the first USB adapter") << true << QString() << FSystem.Dev("ttyUSB2");
  QTest::newRow("no adapter: the first entry") << false << QString() << FUartOnly.Dev("ttyS0");
  QTest::newRow("a stored port wins") << true << FSystem.Dev("ttyS0") << FSystem.Dev("ttyS0");
  QTest::newRow("a stored by-id link wins") << true << FSystem.ById(SecondById) << FSystem.ById(SecondById);
  QTest::newRow("a stored port that is gone") << true << FSystem.Dev("ttyUSB7") << FSystem.Dev("ttyUSB2");
}

void TestPortDiscovery::firstSelection() {
  QFETCH(bool, withAdapters);
  QFETCH(QString, stored);
  QFETCH(QString, selected);
  QTemporaryDir config;
  QVERIFY(config.isValid());
  const QString storePath = config.filePath("Tandrel.reg");
  if (!stored.isEmpty()) {
    QFile file(storePath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n\"COM\"=\"" +
               stored.toUtf8() + "\"\r\n");
  }
  TPromptRecorder prompts;
  const TFakeSystem &system = withAdapters ? FSystem : FUartOnly;
  const TSessionEnvironment environment{&SystemClock(), system.System(FExtraPort), storePath, config.path()};
  TLogModel log;
  TBridgeSettings settings;
  TSession session(environment, log, settings);
  TMainTandrelForm form(session, log, environment.portSystem, storePath);
  QCOMPARE(form.PortsListComboBox->currentText(), selected);
  QVERIFY(prompts.prompts.isEmpty());
  // The description is display text of the open list only.
  const int index = form.PortsListComboBox->currentIndex();
  QCOMPARE(form.PortsListComboBox->itemText(index), selected);
  QVERIFY(!form.PortsListComboBox->itemData(index).toString().isEmpty());
}

QTEST_MAIN(TestPortDiscovery)
#include "test_portdiscovery.moc"
