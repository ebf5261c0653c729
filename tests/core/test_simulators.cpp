// The simulated device and modem behave as the other tests rely on.

#include "SimProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int WaitMs = 5000;
const QByteArray Request = "+VER_INFO=?\r\n";
const QByteArray DefaultReply = "+VER_INFO: \"SIM\",DEMO.1.0,SN000001\r\nOK\r\n";

// The simulator's port opened the plain POSIX way, raw and non-blocking.
class TRawPort {
public:
  explicit TRawPort(const QString &path) {
    FFd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (FFd >= 0 && tcgetattr(FFd, &settings) == 0) {
      cfmakeraw(&settings);
      tcsetattr(FFd, TCSANOW, &settings);
    }
  }
  ~TRawPort() {
    if (FFd >= 0)
      ::close(FFd);
  }
  TRawPort(const TRawPort &) = delete;
  TRawPort &operator=(const TRawPort &) = delete;

  bool isOpen() const { return FFd >= 0; }

  bool write(const QByteArray &bytes) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::write(FFd, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent));
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        return false;
      sent += qMax<ssize_t>(n, 0);
    }
    return true;
  }

  // Bytes up to and including the first `expected`, or all that came when
  // the wait ran out; bytes after `expected` stay for the next call.
  QByteArray readUntil(const QByteArray &expected) {
    const QDeadlineTimer deadline(WaitMs);
    while (!FBuffered.contains(expected) && !deadline.hasExpired() && readChunk(deadline) >= 0) {
    }
    const qsizetype at = FBuffered.indexOf(expected);
    const qsizetype end = at < 0 ? FBuffered.size() : at + expected.size();
    const QByteArray out = FBuffered.left(end);
    FBuffered.remove(0, end);
    return out;
  }

  // The next `count` bytes, or fewer when the line stalled for the wait.
  QByteArray readCount(qsizetype count) {
    while (FBuffered.size() < count && readChunk(QDeadlineTimer(WaitMs)) > 0) {
    }
    const QByteArray out = FBuffered.left(count);
    FBuffered.remove(0, out.size());
    return out;
  }

  // The bytes of the next single read (empty when nothing came in time).
  QByteArray nextRead() {
    readChunk(QDeadlineTimer(WaitMs));
    return std::exchange(FBuffered, QByteArray());
  }

  // True when the far end has gone: poll reports a hang-up or a read fails.
  bool waitForHangup() {
    const QDeadlineTimer deadline(WaitMs);
    while (!deadline.hasExpired()) {
      pollfd fd{FFd, POLLIN, 0};
      ::poll(&fd, 1, 50);
      if (fd.revents & (POLLHUP | POLLERR) || readChunk(QDeadlineTimer(0)) < 0)
        return true;
    }
    return false;
  }

private:
  // Waits for one read; returns its length, 0 on timeout, -1 on end or error.
  qsizetype readChunk(const QDeadlineTimer &deadline) {
    pollfd fd{FFd, POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(qMax<qint64>(0, deadline.remainingTime())));
    char buffer[4096];
    const ssize_t n = ::read(FFd, buffer, sizeof buffer);
    if (n > 0)
      FBuffered.append(buffer, n);
    if (n == 0 || (n < 0 && errno != EAGAIN))
      return -1;
    return qMax<ssize_t>(n, 0);
  }

  int FFd = -1;
  QByteArray FBuffered;
};

#define START_SIM(name, kind, ...)                                                                 \
  TSimProcess name(TSimProcess::TKind::kind, QStringList{__VA_ARGS__});                            \
  QVERIFY2(name.isReady(), qPrintable(name.errorString()))

#define OPEN_PORT(name, sim)                                                                       \
  TRawPort name((sim).linkPath());                                                                 \
  QVERIFY(name.isOpen())

QByteArray Pattern(int count) {
  QByteArray bytes;
  for (int i = 0; i < count; ++i)
    bytes += static_cast<char>(i % 251);
  return bytes;
}

} // namespace

class TestSimulators : public QObject {
  Q_OBJECT

private slots:
  void deviceAnswersIdentificationThenEchoes() {
    START_SIM(device, Device);
    OPEN_PORT(port, device);
    QVERIFY(port.write("before\r\n")); // ignored: the device talks only after identification
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    const QByteArray data("hello\x00\xff", 7);
    QVERIFY(port.write(data));
    QCOMPARE(port.readUntil("\xff"), data);
    QCOMPARE(device.receivedBytes(), "before\r\n" + Request + data);
    QCOMPARE(device.command("received"), QString("OK %1").arg(8 + Request.size() + data.size()));
  }

  void deviceEchoesRequestAndSplitsReply() {
    START_SIM(device, Device, "--reply", "+VER_INFO: \\\"X\\\",KEY.2\\r\\nOK\\r\\n");
    QCOMPARE(device.command("echo-request on"), QString("OK"));
    QCOMPARE(device.command("split 15 500"), QString("OK"));
    OPEN_PORT(port, device);
    QVERIFY(port.write(Request));
    const QByteArray answer = Request + "+VER_INFO: \"X\",KEY.2\r\nOK\r\n";
    QCOMPARE(port.nextRead(), answer.left(15));
    QCOMPARE(port.readUntil("OK\r\n"), answer.mid(15));
  }

  void silentDeviceDoesNotAnswer() {
    START_SIM(device, Device, "--silent", "on");
    OPEN_PORT(port, device);
    QVERIFY(port.write(Request));
    QTRY_COMPARE(device.receivedBytes(), Request);
    QCOMPARE(device.command("send ping\\x21"), QString("OK")); // sent now, so it is first in line
    QCOMPARE(port.readUntil("!"), QByteArray("ping!"));
  }

  void protocolMode() {
    START_SIM(device, Device, "--mode", "protocol");
    OPEN_PORT(port, device);
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    const QList<QPair<QByteArray, QByteArray>> exchanges{
        {"PING\r\n", "PONG\r\n"},           {"GET serial\r\n", "serial=SN000001\r\n"},
        {"SET serial X42\r\n", "OK\r\n"},   {"GET serial\r\n", "serial=X42\r\n"},
        {"GET nothing\r\n", "ERROR\r\n"},   {"HELLO\r\n", "ERROR\r\n"},
        {"UPLOAD\r\n", "ERROR\r\n"}, // no --upload-file
        {Request, DefaultReply},
    };
    for (const auto &[request, answer] : exchanges) {
      QVERIFY(port.write(request));
      QCOMPARE(port.readUntil(answer), answer);
    }
  }

  // UPLOAD hands the line to Debian's rx until the transfer ends: one
  // XMODEM-1K block, acknowledged, kept byte for byte; then lines again.
  void uploadRunsXmodemReceiver() {
    const QTemporaryDir folder;
    const QString file = folder.filePath("upload.bin");
    START_SIM(device, Device, "--mode", "protocol", "--upload-file", file);
    OPEN_PORT(port, device);
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    QCOMPARE(device.command("uploadcheck"), QString("OK none"));
    QVERIFY(port.write("UPLOAD\r\n"));
    QCOMPARE(port.readUntil("OK\r\n"), QByteArray("OK\r\n"));
    QCOMPARE(port.readCount(1), QByteArray("C")); // the receiver asks for CRC-16 blocks
    const QByteArray block = Pattern(1024);
    QVERIFY(port.write(QByteArray("\x02\x01\xfe") + block + QByteArray("\x95\x90"))); // STX, block 1, its CRC
    QCOMPARE(port.readCount(1), QByteArray("\x06"));
    QVERIFY(port.write("\x04")); // end of transmission
    QCOMPARE(port.readCount(1), QByteArray("\x06"));
    QTRY_COMPARE(device.command("uploadcheck"), QString("OK exit 0"));
    QFile received(file);
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(), block);
    QVERIFY(port.write("PING\r\n"));
    QCOMPARE(port.readUntil("\r\n"), QByteArray("PONG\r\n"));
  }

  // After the identification, Modbus RTU frames answered as unit 1 answers
  // them, or not at all; an answer that should not come would show up ahead
  // of the next one.
  void modbusModeAnswersRtuFrames() {
    START_SIM(device, Device, "--mode", "modbus");
    OPEN_PORT(port, device);
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    const QList<QPair<QByteArray, QByteArray>> exchanges{
        {"01 03 00 05 00 03 15 ca", "01 03 06 00 05 00 06 00 07 4c b6"}, // a register holds its address at first
        {"01 06 00 05 12 34 94 bc", "01 06 00 05 12 34 94 bc"},
        {"01 10 00 06 00 02 04 ab cd ef 01 4f ae", "01 10 00 06 00 02 a1 c9"},
        {"01 03 00 05 00 03 15 ca", "01 03 06 12 34 ab cd ef 01 af e8"},
        {"01 03 03 e7 00 02 74 78", "01 83 02 c0 f1"}, // beyond the map
        {"01 03 00 00 00 00 45 ca", "01 83 03 01 31"}, // no registers
        {"01 2b 0e 01 00 70 77", "01 ab 01 9e f0"},    // an unknown function, its frame ended by silence
        {"02 03 00 05 00 03 15 f9", ""},               // another unit
        {"01 03 00 05 00 03 15 cb", ""},               // a bad CRC
        {"00 06 00 01 00 09 19 dd", ""},               // a broadcast: carried out, not answered
        {"01 03 00 01 00 01 d5 ca", "01 03 02 00 09 78 42"},
    };
    for (const auto &[request, reply] : exchanges) {
      QVERIFY(port.write(QByteArray::fromHex(request)));
      const QByteArray expected = QByteArray::fromHex(reply);
      if (!expected.isEmpty())
        QCOMPARE(port.readCount(expected.size()).toHex(' '), expected.toHex(' '));
    }
  }

  void streamSendsPacedPattern() {
    START_SIM(device, Device);
    OPEN_PORT(port, device);
    QCOMPARE(device.command("stream 115200 3000"), QString("OK"));
    QCOMPARE(port.readCount(3000), Pattern(3000));
  }

  void sinkChecksPattern() {
    START_SIM(device, Device, "--mode", "sink");
    OPEN_PORT(port, device);
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    QVERIFY(port.write(Pattern(5000)));
    QTRY_COMPARE(device.command("sinkcheck"), QString("OK 5000 pattern"));
    QVERIFY(port.write("X"));
    QTRY_COMPARE(device.command("sinkcheck"), QString("OK 5001 mismatch 5000"));
  }

  // The device streams numbered records and, in records mode, counts what it
  // gets back: a gap to the byte, a record again, and a new session afresh.
  void recordsStreamAndComeBackChecked() {
    START_SIM(device, Device, "--mode", "records");
    OPEN_PORT(port, device);
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    QCOMPARE(device.command("records 115200 1600"), QString("OK"));
    const QByteArray received = port.readCount(1600);
    QCOMPARE(received.size(), 1600);
    QVERIFY(received.startsWith("#000000000000|~\n#000000000001|~\n"));
    QVERIFY(received.endsWith("#000000000063|~\n"));
    // Back with bytes 205..999 missing, then records 90 and 91 again (91 is
    // held until a record continues from it).
    QVERIFY(port.write(received.left(205) + received.mid(1000) + received.mid(90 * 16, 32)));
    QTRY_COMPARE(device.command("recordcheck"), QString("OK records 49 gaps 1 lost 795 duplicates 1 corrupt 0"));
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    QCOMPARE(device.command("recordcheck"), QString("OK records 0 gaps 0 lost 0 duplicates 0 corrupt 0"));
  }

  void unplugRemovesLinkAndBringsItBack() {
    START_SIM(device, Device);
    OPEN_PORT(port, device);
    QCOMPARE(device.command("unplug 300"), QString("OK"));
    QVERIFY(!QFileInfo::exists(device.linkPath()));
    QVERIFY(port.waitForHangup());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(device.linkPath()), WaitMs);
    OPEN_PORT(again, device);
    QVERIFY(again.write(Request));
    QCOMPARE(again.readUntil("OK\r\n"), DefaultReply);
  }

  void badCommandsAreRefused() {
    START_SIM(device, Device);
    for (const char *line : {"split x", "echo-request maybe", "send \\q", "stream 0 10", "frobnicate"})
      QVERIFY2(device.command(line).startsWith("ERR "), line);
    START_SIM(modem, Modem);
    for (const char *line : {"dial RINGING", "creg 0,1;;0,5", "hangup"})
      QVERIFY2(modem.command(line).startsWith("ERR "), line);
  }

  void controlClientPrintsTheReplyAndReportsItsKind() {
    START_SIM(modem, Modem);
    struct TCase {
      QString socket;
      QStringList words;
      int exitCode;
      QByteArray output;
    } cases[] = {
        {modem.controlPath(), {"dial", "BUSY"}, 0, "OK\n"},
        {modem.controlPath(), {"dialled"}, 0, "OK \n"},
        {modem.controlPath(), {"hangup"}, 1, "ERR no call\n"},
        {modem.controlPath() + "-missing", {"state"}, 2, ""},
    };
    for (const TCase &test : cases) {
      QProcess client;
      client.start(QStringLiteral(SIMCTL_BIN), QStringList{test.socket} + test.words);
      QVERIFY(client.waitForFinished(WaitMs));
      QCOMPARE(client.exitCode(), test.exitCode);
      QCOMPARE(client.readAllStandardOutput(), test.output);
    }
    QCOMPARE(modem.command("state"), QString("OK command"));
  }

  void modemDialogueToConnectAndData() {
    START_SIM(modem, Modem);
    OPEN_PORT(port, modem);
    QVERIFY(port.write("ATZ\r\n"));
    QCOMPARE(port.readUntil("OK\r\n"), QByteArray("ATZ\r\r\nOK\r\n"));
    QVERIFY(port.write("ATE0\r"));
    QCOMPARE(port.readUntil("OK\r\n"), QByteArray("ATE0\r\r\nOK\r\n"));
    const QList<QPair<QByteArray, QByteArray>> dialogue{
        {"AT\r\n", "\r\nOK\r\n"},
        {"AT+CBST=7,0,1\r\n", "\r\nOK\r\n"},
        {"AT+CREG?\r\n", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
        {"AT+FOO\r\n", "\r\nERROR\r\n"},
        {"ATD+7 999 123\r\n", "\r\nCONNECT 9600\r\n"},
    };
    for (const auto &[command, answer] : dialogue) {
      QVERIFY(port.write(command));
      QCOMPARE(port.readUntil(answer), answer);
    }
    QCOMPARE(modem.command("state"), QString("OK data"));
    QCOMPARE(modem.command("dialled"), QString("OK +7 999 123"));
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);
    QVERIFY(port.write("AT\r\n"));
    QCOMPARE(port.readUntil("\r\n"), QByteArray("AT\r\n")); // data now, echoed by the device
  }

  void escapeAndHangupReturnToCommandMode() {
    START_SIM(modem, Modem, "--echo", "off", "--guard", "50");
    OPEN_PORT(port, modem);
    QVERIFY(port.write("ATD1\r"));
    QCOMPARE(port.readUntil("9600\r\n"), QByteArray("\r\nCONNECT 9600\r\n"));
    QVERIFY(port.write(Request));
    QCOMPARE(port.readUntil("OK\r\n"), DefaultReply);

    QVERIFY(port.write("x+++")); // inside data: no escape
    QCOMPARE(port.readUntil("+++"), QByteArray("x+++"));
    QVERIFY(port.write("y"));
    QCOMPARE(port.readUntil("y"), QByteArray("y"));
    QCOMPARE(modem.command("state"), QString("OK data"));

    QVERIFY(port.write("+++"));
    QCOMPARE(port.readUntil("\r\nOK\r\n"), QByteArray("+++\r\nOK\r\n"));
    QCOMPARE(modem.command("state"), QString("OK command"));
    QVERIFY(port.write("ATH\r"));
    QCOMPARE(port.readUntil("OK\r\n"), QByteArray("\r\nOK\r\n"));

    QVERIFY(port.write("ATD2\r"));
    QCOMPARE(port.readUntil("9600\r\n"), QByteArray("\r\nCONNECT 9600\r\n"));
    QCOMPARE(modem.command("hangup"), QString("OK"));
    QCOMPARE(port.readUntil("CARRIER\r\n"), QByteArray("\r\nNO CARRIER\r\n"));
    QCOMPARE(modem.command("state"), QString("OK command"));
    QVERIFY(port.write("AT\r"));
    QCOMPARE(port.readUntil("OK\r\n"), QByteArray("\r\nOK\r\n"));
  }

  void scriptedCregAndDialOutcomes() {
    START_SIM(modem, Modem, "--echo", "off", "--creg", "0,0;0,5;0,1");
    OPEN_PORT(port, modem);
    for (const char *answer : {"0,0", "0,5", "0,1", "0,1"}) {
      QVERIFY(port.write("AT+CREG?\r"));
      QCOMPARE(port.readUntil("OK\r\n"), QByteArray("\r\n+CREG: ") + answer + "\r\n\r\nOK\r\n");
    }
    QCOMPARE(modem.command("creg 0,2"), QString("OK"));
    QVERIFY(port.write("AT+CREG?\r"));
    QCOMPARE(port.readUntil("OK\r\n"), QByteArray("\r\n+CREG: 0,2\r\n\r\nOK\r\n"));

    for (const char *outcome : {"BUSY", "NO CARRIER", "NO DIALTONE", "NO ANSWER"}) {
      QCOMPARE(modem.command(QString("dial ") + outcome), QString("OK"));
      QVERIFY(port.write("ATD5\r"));
      QCOMPARE(port.readUntil(QByteArray(outcome) + "\r\n"), QByteArray("\r\n") + outcome + "\r\n");
      QCOMPARE(modem.command("state"), QString("OK command"));
    }
    QCOMPARE(modem.command("dial SILENT"), QString("OK"));
    QVERIFY(port.write("ATD6\r"));
    QVERIFY(port.write("AT\r")); // the first answer after a silent dial is this OK
    QCOMPARE(port.readUntil("OK\r\n"), QByteArray("\r\nOK\r\n"));
    QCOMPARE(modem.command("dialled"), QString("OK 6"));
  }
};

QTEST_GUILESS_MAIN(TestSimulators)
#include "test_simulators.moc"
