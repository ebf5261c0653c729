// Port discovery against a small fake sysfs tree.

#include "serial/COMUtils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

namespace {

// Lays out sysfs as the kernel does: class/tty/NAME links into devices/, each
// port with a `device` link to the hardware it sits on.
class TFakeSysfs {
public:
  TFakeSysfs() { QDir(Root()).mkpath("class/tty"); }
  bool IsValid() const { return FDir.isValid(); }
  QString Root() const { return FDir.path(); }

  // A port on the device folder `hardware` (relative to devices/).
  void AddPort(const QString &name, const QString &hardware) {
    const QString entry = AddClassEntry(name, hardware + "/tty/" + name);
    QFile::link(Root() + "/devices/" + hardware, entry + "/device");
  }
  // A terminal with no hardware behind it, such as a virtual console.
  void AddVirtual(const QString &name) {
    AddClassEntry(name, "virtual/tty/" + name);
  }
  void Write(const QString &relativePath, const QByteArray &text) {
    QFile file(Root() + "/" + relativePath);
    QDir().mkpath(QFileInfo(file).path());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
  }
  void SetDriver(const QString &hardware, const QString &driver) {
    QDir(Root()).mkpath("bus/drivers/" + driver);
    QFile::link(Root() + "/bus/drivers/" + driver,
                Root() + "/devices/" + hardware + "/driver");
  }

private:
  QString AddClassEntry(const QString &name, const QString &devicePath) {
    const QString target = Root() + "/devices/" + devicePath;
    QDir().mkpath(target);
    const QString entry = Root() + "/class/tty/" + name;
    QFile::link(target, entry);
    return entry;
  }

  QTemporaryDir FDir;
};

std::vector<std::string> Listed(const TPortSystem &system) {
  std::vector<std::string> list{"stale"};
  ListDosDevices(list, system);
  return list;
}

} // namespace

class TestPortDiscovery : public QObject {
  Q_OBJECT

private slots:
  void initTestCase();
  void listsPresentHardwarePorts();
  void friendlyNamesHoldThePath();
  void extraPortsFollowWhileTheyExist();
  void missingDeviceTableMeansNoHardware();
  void unreadableDeviceTableRaises();
  void presenceNeedsTheWholePath_data();
  void presenceNeedsTheWholePath();

private:
  TPortSystem System() const;

  TFakeSysfs FSysfs;
  QTemporaryDir FExtraDir;
  QString FExtraPort;
};

void TestPortDiscovery::initTestCase() {
  QVERIFY(FSysfs.IsValid());
  QVERIFY(FExtraDir.isValid());
  FSysfs.AddPort("ttyS0", "platform/serial8250");
  FSysfs.Write("class/tty/ttyS0/type", "0\n");
  FSysfs.AddPort("ttyS1", "pnp0/00:01");
  FSysfs.Write("class/tty/ttyS1/type", "4\n");
  FSysfs.SetDriver("pnp0/00:01", "serial");
  FSysfs.AddPort("ttyUSB10", "pci0/usb1/1-2/1-2:1.0/ttyUSB10");
  FSysfs.SetDriver("pci0/usb1/1-2/1-2:1.0/ttyUSB10", "ftdi_sio");
  FSysfs.AddPort("ttyUSB0", "pci0/usb1/1-1/1-1:1.0/ttyUSB0");
  FSysfs.Write("devices/pci0/usb1/1-1/product", "FT232R USB UART\n");
  FSysfs.AddPort("ttyUSB2", "pci0/usb1/1-3/1-3:1.0/ttyUSB2");
  FSysfs.Write("devices/pci0/usb1/1-3/1-3:1.0/interface",
               "CDC Abstract Control Model\n");
  FSysfs.AddVirtual("tty1");

  FExtraPort = FExtraDir.filePath("ttySIM0");
  QFile extra(FExtraPort);
  QVERIFY(extra.open(QIODevice::WriteOnly));
}

TPortSystem TestPortDiscovery::System() const {
  TPortSystem system;
  system.sysfsRoot = FSysfs.Root().toStdString();
  system.devRoot = "/dev";
  system.extraPorts = FExtraPort.toStdString();
  return system;
}

void TestPortDiscovery::listsPresentHardwarePorts() {
  TPortSystem system = System();
  system.extraPorts.clear();
  const std::vector<std::string> expected{"/dev/ttyS1", "/dev/ttyUSB0",
                                          "/dev/ttyUSB2", "/dev/ttyUSB10"};
  QCOMPARE(Listed(system), expected);
}

void TestPortDiscovery::friendlyNamesHoldThePath() {
  std::vector<std::string> lines{"stale"};
  ListPortFriendlyNames(lines, System());
  const std::vector<std::string> expected{
      "0: serial (/dev/ttyS1)",
      "1: FT232R USB UART (/dev/ttyUSB0)",
      "2: CDC Abstract Control Model (/dev/ttyUSB2)",
      "3: ftdi_sio (/dev/ttyUSB10)",
      "4: virtual port (" + FExtraPort.toStdString() + ")",
  };
  QCOMPARE(lines, expected);
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
  qputenv("TANDREL_EXTRA_PORTS",
          (first + "::" + missing + ":" + second + ":" + first).toLocal8Bit());
  TPortSystem system = TPortSystem::FromEnvironment();
  qunsetenv("TANDREL_EXTRA_PORTS");
  QCOMPARE(system.sysfsRoot, std::string("/sys"));
  QCOMPARE(system.devRoot, std::string("/dev"));
  system.sysfsRoot = FSysfs.Root().toStdString();

  const std::vector<std::string> expected{
      "/dev/ttyS1",    "/dev/ttyUSB0",      "/dev/ttyUSB2",
      "/dev/ttyUSB10", first.toStdString(), second.toStdString()};
  QCOMPARE(Listed(system), expected);
  QVERIFY(IsPortPresent(second.toStdString(), system));
  QVERIFY(!IsPortPresent(missing.toStdString(), system));

  QVERIFY(QFile::remove(second));
  QVERIFY(!IsPortPresent(second.toStdString(), system));
  QVERIFY(IsPortPresent(first.toStdString(), system));
}

void TestPortDiscovery::missingDeviceTableMeansNoHardware() {
  TPortSystem system = System();
  system.sysfsRoot = FExtraDir.filePath("no-sysfs").toStdString();
  const std::vector<std::string> expected{FExtraPort.toStdString()};
  QCOMPARE(Listed(system), expected);
}

void TestPortDiscovery::unreadableDeviceTableRaises() {
  // class/tty is a file here, so the table cannot be read.
  QTemporaryDir broken;
  QVERIFY(broken.isValid());
  QVERIFY(QDir(broken.path()).mkpath("class"));
  QFile notAFolder(broken.filePath("class/tty"));
  QVERIFY(notAFolder.open(QIODevice::WriteOnly));
  TPortSystem system = System();
  system.sysfsRoot = broken.path().toStdString();

  std::vector<std::string> list{"kept"};
  QVERIFY_THROWS_EXCEPTION(std::runtime_error, ListDosDevices(list, system));
  try {
    ListDosDevices(list, system);
  } catch (const std::runtime_error &error) {
    QCOMPARE(std::string(error.what()), std::string("Not a directory"));
  }
  QCOMPARE(list, std::vector<std::string>{"kept"});

  // The presence check never raises: it still sees the extra port.
  QVERIFY(IsPortPresent(FExtraPort.toStdString(), system));
  QVERIFY(!IsPortPresent("/dev/ttyUSB0", system));
}

void TestPortDiscovery::presenceNeedsTheWholePath_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<bool>("present");
  QTest::newRow("exact path") << "/dev/ttyUSB0" << true;
  QTest::newRow("other case") << "/DEV/TTYusb10" << true;
  QTest::newRow("prefix of a longer path") << "/dev/ttyUSB1" << false;
  QTest::newRow("bare device name") << "ttyUSB0" << false;
  QTest::newRow("path with trailing text") << "/dev/ttyUSB0x" << false;
  QTest::newRow("placeholder UART") << "/dev/ttyS0" << false;
  QTest::newRow("terminal without hardware") << "/dev/tty1" << false;
  QTest::newRow("friendly name text") << "FT232R" << false;
  QTest::newRow("nothing selected") << "" << false;
}

void TestPortDiscovery::presenceNeedsTheWholePath() {
  QFETCH(QString, name);
  QFETCH(bool, present);
  QCOMPARE(IsPortPresent(name.toStdString(), System()), present);
}

QTEST_GUILESS_MAIN(TestPortDiscovery)
#include "test_portdiscovery.moc"
