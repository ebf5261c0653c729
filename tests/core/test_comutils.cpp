// Serial port access against real pseudo-terminals.

#include "serial/COMUtils.h"
#include "support/BridgeTestSupport.h"
#include "support/PtyPair.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int32_t KBaud = 19200;

// Closes whatever the test left open, also when a check fails midway.
struct TPortGuard {
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  ~TPortGuard() { CloseCOM(handle); }
};

std::string PathOf(const TPtyPair &pty) { return pty.Path().toStdString(); }

// A device on a pty with the port open on it.
struct TOpenLine {
  TPtyPair pty;
  TPortGuard port;
  bool opened = pty.IsValid() && OpenCOM(PathOf(pty), KBaud, port.handle);
};

int QueuedInput(TCOMHandle h) {
  int queued = 0;
  return ioctl(h, FIONREAD, &queued) == 0 ? queued : -1;
}

// The pty delivers asynchronously: wait until `count` bytes are queued.
bool WaitForQueued(TCOMHandle h, int count) {
  const QDeadlineTimer deadline(5000);
  while (QueuedInput(h) < count && !deadline.hasExpired())
    QThread::msleep(2);
  return QueuedInput(h) >= count;
}

int OpenDescriptorCount() {
  return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size();
}

// Runs `open` without root's right to bypass file permissions.
bool OpenFailsWithDialoutHint(const std::string &path) {
  const auto check = [&] {
    TCOMHandle handle = 12345;
    TSerialError error;
    return !OpenCOM(path, KBaud, handle, &error) && handle == INVALID_HANDLE_VALUE &&
           error.kind == TSerialError::TKind::Denied &&
           error.text.find("Permission denied (пользователь не входит в группу dialout?)") != std::string::npos;
  };
  if (geteuid() != 0)
    return check();
  const pid_t child = fork();
  if (child == 0) {
    const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
    _exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child &&
         WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

class TestCOMUtils : public QObject {
  Q_OBJECT

private slots:
  void openConfiguresRawLine_data();
  void openConfiguresRawLine();
  void openDiscardsStaleInput();
  void secondOpenOfOpenPortFails();
  void failedOpenTellsWhy_data();
  void failedOpenTellsWhy();
  void permissionDeniedHintsAtDialout();
  void readReturnsOnlyQueuedBytes();
  void readStringTurnsNulIntoSpace();
  void smallReadLeavesRestQueued();
  void bytesCrossUntranslated();
  void stalledLineNeverHangs();
  void vanishedDeviceReadsAsNothing();
  void invalidHandleIsHarmless();
  void closeTwiceIsHarmless();
  void bytesWrittenBeforeCloseReachTheDevice();
  void nextToken_data();
  void nextToken();
  void nextTokenRejectsPositionBelowOne();
};

void TestCOMUtils::openConfiguresRawLine_data() {
  QTest::addColumn<int>("baud");
  QTest::addColumn<bool>("flowControl");
  QTest::newRow("19200, flow control on") << 19200 << true;
  QTest::newRow("14400, flow control off") << 14400 << false;
  QTest::newRow("256000, flow control on") << 256000 << true;
  QTest::newRow("56000, flow control off") << 56000 << false;
}

void TestCOMUtils::openConfiguresRawLine() {
  QFETCH(int, baud);
  QFETCH(bool, flowControl);
  TPtyPair pty;
  QVERIFY(pty.IsValid());

  // Start from a cooked line with two stop bits, as a previous user may leave
  // it, with or without flow control.
  termios cooked{};
  QCOMPARE(tcgetattr(pty.SlaveFd(), &cooked), 0);
  cooked.c_iflag |= ICRNL | INLCR | ISTRIP;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  cooked.c_cflag |= CSTOPB;
  cooked.c_cflag &= ~CLOCAL;
  const tcflag_t flowInput = IXON | IXOFF | IXANY;
  if (flowControl) {
    cooked.c_cflag |= CRTSCTS;
    cooked.c_iflag |= flowInput;
  } else {
    cooked.c_cflag &= ~CRTSCTS;
    cooked.c_iflag &= ~flowInput;
  }
  QCOMPARE(tcsetattr(pty.SlaveFd(), TCSANOW, &cooked), 0);

  TPortGuard port;
  QVERIFY(OpenCOM(PathOf(pty), baud, port.handle));
  QVERIFY(port.handle != INVALID_HANDLE_VALUE);

  // Read back through the device's other descriptor: the settings belong to the
  // line.
  termios line{};
  QCOMPARE(tcgetattr(pty.SlaveFd(), &line), 0);
  QCOMPARE(line.c_iflag & (ICRNL | INLCR | ISTRIP), tcflag_t(0));
  QCOMPARE(line.c_oflag & OPOST, tcflag_t(0));
  QCOMPARE(line.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), tcflag_t(0));
  QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
  QCOMPARE(line.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
  QCOMPARE(line.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  QCOMPARE(line.c_cflag & CRTSCTS, tcflag_t(0));
  QCOMPARE(line.c_iflag & flowInput, tcflag_t(0));
  QCOMPARE(GetCOMSpeed(pty.SlaveFd()), baud);
}

void TestCOMUtils::openDiscardsStaleInput() {
  TPtyPair pty;
  QVERIFY(pty.IsValid());
  // A line at the kernel's defaults is canonical: only whole lines count.
  QVERIFY(pty.Send("stale\n"));
  QVERIFY(WaitForQueued(pty.SlaveFd(), 6));

  TPortGuard port;
  QVERIFY(OpenCOM(PathOf(pty), KBaud, port.handle));
  QCOMPARE(QueuedInput(port.handle), 0);
  QVERIFY(pty.Send("fresh"));
  QVERIFY(WaitForQueued(port.handle, 5));
  QCOMPARE(ReadCOMString(port.handle), std::string("fresh"));
}

void TestCOMUtils::secondOpenOfOpenPortFails() {
  TPtyPair pty;
  QVERIFY(pty.IsValid());
  TPortGuard first;
  QVERIFY(OpenCOM(PathOf(pty), KBaud, first.handle));

  // Also as root and within one process: the lock belongs to the open file.
  TPortGuard second;
  second.handle = 12345;
  TSerialError error;
  QVERIFY(!OpenCOM(PathOf(pty), KBaud, second.handle, &error));
  QCOMPARE(second.handle, INVALID_HANDLE_VALUE);
  QCOMPARE(error.kind, TSerialError::TKind::Busy);
  QVERIFY2(error.text.find("(порт уже используется)") != std::string::npos, error.text.c_str());

  // The holder is undisturbed, and the port is free again once it closes.
  QCOMPARE(WriteCOMString(first.handle, "AT\r"), 3);
  QCOMPARE(pty.Receive(3), QByteArray("AT\r"));
  QVERIFY(CloseCOM(first.handle));
  QVERIFY(OpenCOM(PathOf(pty), KBaud, second.handle, &error));
  QVERIFY(!error);
}

void TestCOMUtils::failedOpenTellsWhy_data() {
  QTest::addColumn<QString>("file");
  QTest::addColumn<QString>("reason");
  QTest::addColumn<TSerialError::TKind>("kind");
  QTest::newRow("missing path") << "ttyUSB9"
                                << "No such file or directory" << TSerialError::TKind::Gone;
  QTest::newRow("not a terminal") << "plain.txt"
                                  << "(это не последовательный порт)" << TSerialError::TKind::Other;
}

void TestCOMUtils::failedOpenTellsWhy() {
  QFETCH(QString, file);
  QFETCH(QString, reason);
  QFETCH(TSerialError::TKind, kind);
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  QFile plain(dir.filePath("plain.txt"));
  QVERIFY(plain.open(QIODevice::WriteOnly));
  plain.close();

  const int descriptorsBefore = OpenDescriptorCount();
  TCOMHandle handle = 12345;
  TSerialError error;
  QVERIFY(!OpenCOM(dir.filePath(file).toStdString(), KBaud, handle, &error));
  QCOMPARE(handle, INVALID_HANDLE_VALUE);
  QCOMPARE(error.kind, kind);
  QVERIFY2(error.text.find(reason.toStdString()) != std::string::npos, error.text.c_str());
  QCOMPARE(OpenDescriptorCount(), descriptorsBefore);
}

void TestCOMUtils::permissionDeniedHintsAtDialout() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString path = dir.filePath("ttyLocked");
  QFile locked(path);
  QVERIFY(locked.open(QIODevice::WriteOnly));
  locked.close();
  QVERIFY(locked.setPermissions(QFileDevice::Permissions()));
  QVERIFY(OpenFailsWithDialoutHint(path.toStdString()));
}

void TestCOMUtils::readReturnsOnlyQueuedBytes() {
  TOpenLine line;
  QVERIFY(line.opened);
  char buffer[64];
  QCOMPARE(ReadCOM(line.port.handle, buffer, sizeof buffer), 0);
  QCOMPARE(ReadCOMString(line.port.handle), std::string());

  QVERIFY(line.pty.Send("OK\r\n"));
  QVERIFY(WaitForQueued(line.port.handle, 4));
  QCOMPARE(ReadCOM(line.port.handle, buffer, sizeof buffer), 4);
  QCOMPARE(QByteArray(buffer, 4), QByteArray("OK\r\n"));
  QCOMPARE(ReadCOM(line.port.handle, buffer, sizeof buffer), 0);
}

void TestCOMUtils::readStringTurnsNulIntoSpace() {
  TOpenLine line;
  QVERIFY(line.opened);
  QVERIFY(line.pty.Send(QByteArray("O\0K", 3)));
  QVERIFY(WaitForQueued(line.port.handle, 3));
  QCOMPARE(ReadCOMString(line.port.handle), std::string("O K"));
}

void TestCOMUtils::smallReadLeavesRestQueued() {
  TOpenLine line;
  QVERIFY(line.opened);
  QVERIFY(line.pty.Send("0123456789"));
  QVERIFY(WaitForQueued(line.port.handle, 10));

  // Guard bytes after the capacity must stay untouched.
  QByteArray buffer(8, '#');
  QCOMPARE(ReadCOM(line.port.handle, buffer.data(), 4), 4);
  QCOMPARE(buffer, QByteArray("0123####"));
  QCOMPARE(QueuedInput(line.port.handle), 6);
  QCOMPARE(ReadCOMString(line.port.handle), std::string("456789"));
}

void TestCOMUtils::bytesCrossUntranslated() {
  TOpenLine line;
  QVERIFY(line.opened);
  const QByteArray bytes = AllByteValues();

  QCOMPARE(WriteCOM(line.port.handle, bytes.constData(), bytes.size()),
           bytes.size());
  QCOMPARE(line.pty.Receive(bytes.size()), bytes);

  QVERIFY(line.pty.Send(bytes));
  QVERIFY(WaitForQueued(line.port.handle, bytes.size()));
  QByteArray received(bytes.size(), '\0');
  QCOMPARE(ReadCOM(line.port.handle, received.data(), received.size()),
           bytes.size());
  QCOMPARE(received, bytes);

  QCOMPARE(WriteCOMString(line.port.handle, ""), 0);
  QCOMPARE(line.pty.ReceiveAvailable(), QByteArray());
}

void TestCOMUtils::stalledLineNeverHangs() {
  TOpenLine line;
  QVERIFY(line.opened);

  // The device reads nothing: the driver takes part, then nothing more, and
  // every further write returns at once with 0 (a wait for room in any of
  // these thousands of calls would run the test out of its time).
  const QByteArray chunk(1 << 20, 'x');
  const int32_t firstTaken =
      WriteCOM(line.port.handle, chunk.constData(), chunk.size());
  QVERIFY(firstTaken > 0);
  QVERIFY(firstTaken < chunk.size());
  int64_t taken = firstTaken;
  int zeroResults = 0;
  for (int attempt = 0; attempt < 5000; ++attempt) {
    const int32_t last =
        WriteCOM(line.port.handle, chunk.constData(), chunk.size());
    QVERIFY(last >= 0);
    taken += last;
    zeroResults += last == 0;
  }
  QVERIFY(zeroResults > 4000);
  QCOMPARE(WriteCOMString(line.port.handle, "ATH\r"), 0);

  // Every byte counted as taken reaches the device, once the device reads
  // again.
  QCOMPARE(line.pty.Receive(int(taken)).size(), qsizetype(taken));
  QCOMPARE(line.pty.ReceiveAvailable(), QByteArray());

  // Stall the line again and close over it.
  for (int attempt = 0;
       attempt < 1000 &&
       WriteCOM(line.port.handle, chunk.constData(), chunk.size()) > 0;
       ++attempt) {
  }
  QVERIFY(CloseCOM(line.port.handle));
  QCOMPARE(line.port.handle, INVALID_HANDLE_VALUE);
}

void TestCOMUtils::vanishedDeviceReadsAsNothing() {
  auto pty = std::make_unique<TPtyPair>();
  QVERIFY(pty->IsValid());
  TPortGuard port;
  QVERIFY(OpenCOM(PathOf(*pty), KBaud, port.handle));
  pty.reset();

  // Reads give nothing (the presence check finds the loss); a write is a
  // failure of the port, not a full queue.
  char buffer[16];
  QCOMPARE(ReadCOM(port.handle, buffer, sizeof buffer), 0);
  QCOMPARE(WriteCOM(port.handle, "AT\r", 3), -1);
  QCOMPARE(WriteCOMString(port.handle, "AT\r"), 0);
  CloseCOM(port.handle);
  QCOMPARE(port.handle, INVALID_HANDLE_VALUE);
}

void TestCOMUtils::invalidHandleIsHarmless() {
  char buffer[16];
  QVERIFY(!ConfigureCOM(INVALID_HANDLE_VALUE, KBaud));
  QCOMPARE(ReadCOM(INVALID_HANDLE_VALUE, buffer, sizeof buffer), 0);
  QCOMPARE(ReadCOMString(INVALID_HANDLE_VALUE), std::string());
  QCOMPARE(WriteCOM(INVALID_HANDLE_VALUE, "AT", 2), -1);
  QCOMPARE(WriteCOMString(INVALID_HANDLE_VALUE, "AT"), 0);
  CancelCOMIo(INVALID_HANDLE_VALUE);
  QCOMPARE(GetCOMSpeed(INVALID_HANDLE_VALUE), 0);
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  QVERIFY(CloseCOM(handle));
  QCOMPARE(handle, INVALID_HANDLE_VALUE);
}

void TestCOMUtils::closeTwiceIsHarmless() {
  TPtyPair pty;
  QVERIFY(pty.IsValid());
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  QVERIFY(OpenCOM(PathOf(pty), KBaud, handle));
  const TCOMHandle opened = handle;
  QVERIFY(CloseCOM(handle));
  QCOMPARE(handle, INVALID_HANDLE_VALUE);
  QVERIFY(CloseCOM(handle));
  QCOMPARE(handle, INVALID_HANDLE_VALUE);
  QCOMPARE(fcntl(opened, F_GETFD), -1);
}

// The teardown of a connection closes the port right after the last relayed
// bytes; the device must still get them.
void TestCOMUtils::bytesWrittenBeforeCloseReachTheDevice() {
  TPtyPair pty;
  QVERIFY(pty.IsValid());
  TCOMHandle handle = INVALID_HANDLE_VALUE;
  QVERIFY(OpenCOM(PathOf(pty), KBaud, handle));
  QCOMPARE(WriteCOM(handle, "last words", 10), 10);
  CancelCOMIo(handle);
  QVERIFY(CloseCOM(handle));
  QCOMPARE(pty.Receive(10), QByteArray("last words"));
}

void TestCOMUtils::nextToken_data() {
  QTest::addColumn<QByteArray>("list");
  QTest::addColumn<int>("position");
  QTest::addColumn<QByteArray>("item");
  QTest::addColumn<int>("nextPosition");
  const QByteArray twoItems("A\0B\0\0", 5);
  QTest::newRow("first item") << twoItems << 1 << QByteArray("A") << 3;
  QTest::newRow("second item") << twoItems << 3 << QByteArray("B") << 5;
  QTest::newRow("closing empty item") << twoItems << 5 << QByteArray() << 6;
  QTest::newRow("past the end") << twoItems << 6 << QByteArray() << 6;
  QTest::newRow("far past the end") << twoItems << 100 << QByteArray() << 100;
  QTest::newRow("last item without NUL")
      << QByteArray("COM1") << 1 << QByteArray("COM1") << 6;
  QTest::newRow("empty list") << QByteArray() << 1 << QByteArray() << 1;
}

void TestCOMUtils::nextToken() {
  QFETCH(QByteArray, list);
  QFETCH(int, position);
  QFETCH(QByteArray, item);
  QFETCH(int, nextPosition);
  QCOMPARE(NextToken(list.toStdString(), position), item.toStdString());
  QCOMPARE(position, nextPosition);
}

void TestCOMUtils::nextTokenRejectsPositionBelowOne() {
  for (int start : {0, -1}) {
    int position = start;
    try {
      NextToken(std::string("A\0", 2), position);
      QFAIL("no range error");
    } catch (const std::out_of_range &error) {
      QCOMPARE(std::string(error.what()),
               std::string("aStartPos должен быть больше 0"));
    }
    QCOMPARE(position, start);
  }
}

QTEST_GUILESS_MAIN(TestCOMUtils)
#include "test_comutils.moc"
