// The modem dialer against the simulated GSM modem (or a silent pty), in
// virtual time.

#include "support/PtyPair.h"
#include "support/RingTestSupport.h"
#include "support/SimProcess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

enum class TPortKind { Modem, Mute, Missing };

const QString kNumber = QStringLiteral("89001234567");
const QStringList kInitialisation = {"ATZ", "ATZ", "AT", "AT+CBST=7,0,1"};
const QStringList kConnectedDial = kInitialisation + QStringList{"AT+CREG?", "ATD" + kNumber};

// The port the dialer is pointed at: the simulated modem, a pty nobody
// answers on, or a path that does not exist.
class TTestLine {
public:
  TTestLine(TPortKind kind, const QStringList &modemArgs) {
    if (kind == TPortKind::Modem)
      FModem = std::make_unique<TSimProcess>(TSimProcess::TKind::Modem, modemArgs);
    else if (kind == TPortKind::Mute)
      FPty = std::make_unique<TPtyPair>();
  }

  QString ReadyError() const {
    if (FModem && !FModem->isReady())
      return FModem->errorString();
    if (FPty && !FPty->IsValid())
      return QStringLiteral("no pty");
    return {};
  }
  QString Path() const {
    if (FModem)
      return FModem->linkPath();
    return FPty ? FPty->Path() : FMissingDir.filePath(QStringLiteral("ttyNONE"));
  }
  // Every byte the dialer has written to the line so far.
  QByteArray Received() {
    if (FModem)
      return FModem->receivedBytes();
    if (FPty)
      FPtyReceived += FPty->ReceiveAvailable();
    return FPtyReceived;
  }
  TSimProcess *Modem() const { return FModem.get(); }

private:
  std::unique_ptr<TSimProcess> FModem;
  std::unique_ptr<TPtyPair> FPty;
  QByteArray FPtyReceived;
  QTemporaryDir FMissingDir;
};

QByteArray AsWritten(const QStringList &commands) {
  QByteArray bytes;
  for (const QString &command : commands)
    bytes += command.toLocal8Bit() + "\r\n";
  return bytes;
}

QStringList SentCommands(const TRingDial &dial) {
  QStringList commands;
  for (const QString &tail : dial.LogTails())
    if (tail.startsWith(QLatin1String("<< ")))
      commands.append(tail.mid(3));
  return commands;
}

} // namespace

Q_DECLARE_METATYPE(TPortKind)

class TestRingThread : public QObject {
  Q_OBJECT

private slots:
  void splitsLogLines_data();
  void splitsLogLines();
  void findsModemErrorWords_data();
  void findsModemErrorWords();
  void findsTheExpectedTextOutsideEchoes_data();
  void findsTheExpectedTextOutsideEchoes();
  void dialStringKeepsOnlyDialCharacters_data();
  void dialStringKeepsOnlyDialCharacters();
  void endsWithResultCode_data();
  void endsWithResultCode();
  void lateOkSatisfiesWaitForAt();
  void logsTimeStampedLinesAndDialsWithoutBlanks();
  void undialableNumberIsNeverSent();
  void cancelEndsWithCode255_data();
  void cancelEndsWithCode255();
  void cancelEndsAPauseAtOnce_data();
  void cancelEndsAPauseAtOnce();
  void workerEndsWithoutTheUiThread();
  void deletedDialerClosesThePortItKept();
  void deletingRunningDialerStopsItAndClosesPort();
};

void TestRingThread::splitsLogLines_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QStringList>("lines");
  QTest::newRow("empty") << "" << QStringList{""};
  QTest::newRow("no CR keeps LF") << "a\nb" << QStringList{"a\nb"};
  QTest::newRow("CR LF is one break") << "a\r\nb" << QStringList{"a", "b"};
  QTest::newRow("CR, LF each break") << "a\rb\nc" << QStringList{"a", "b", "c"};
  QTest::newRow("empty line between breaks") << "AT\r\r\nOK" << QStringList{"AT", "", "OK"};
  QTest::newRow("LF CR is two breaks") << "a\n\rb" << QStringList{"a", "", "b"};
  QTest::newRow("break at the end") << "\r\nOK\r\n" << QStringList{"", "OK"};
  QTest::newRow("only a break") << "\r\n" << QStringList{""};
}

void TestRingThread::splitsLogLines() {
  QFETCH(QString, text);
  QFETCH(QStringList, lines);
  QCOMPARE(SplitLogLines(text), lines);
}

void TestRingThread::findsModemErrorWords_data() {
  QTest::addColumn<QString>("reply");
  QTest::addColumn<uint>("code");
  QTest::newRow("ok") << "AT\r\r\nOK\r\n" << 0u;
  QTest::newRow("connect") << "\r\nCONNECT 9600\r\n" << 0u;
  QTest::newRow("busy") << "ATD1\r\r\nBUSY\r\n" << 4u;
  QTest::newRow("no carrier, lower case") << "\r\nno carrier\r\n" << 5u;
  QTest::newRow("no dialtone") << "NO DIALTONE" << 6u;
  QTest::newRow("no answer") << "\r\nNO ANSWER\r\n" << 7u;
  QTest::newRow("search order beats position") << "NO ANSWER\r\nBUSY" << 4u;
  QTest::newRow("busy and no answer") << "BUSY NO ANSWER" << 4u;
  QTest::newRow("dotless i and long s are no ASCII letters") << QStringLiteral("NO D\u0131ALTONE BU\u017FY") << 0u;
}

void TestRingThread::findsModemErrorWords() {
  QFETCH(QString, reply);
  QFETCH(uint, code);
  QCOMPARE(ModemErrorCode(reply), code);
}

void TestRingThread::findsTheExpectedTextOutsideEchoes_data() {
  QTest::addColumn<QString>("reply");
  QTest::addColumn<QString>("expected");
  QTest::addColumn<bool>("holds");
  QTest::newRow("registered") << "AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n" << "0,1" << true;
  QTest::newRow("late echo of the bearer command") << "AT+CBST=7,0,1\r\r\nOK\r\n" << "0,1" << false;
  QTest::newRow("late echo, then the registration") << "AT+CBST=7,0,1\r\r\nOK\r\n+CREG: 0,1\r\n" << "0,1"
                                                    << true;
  QTest::newRow("roaming") << "\r\n+CREG: 0,5\r\n" << "0,1" << false;
  QTest::newRow("lower case") << "\r\nconnect 9600\r\n" << "CONNECT" << true;
  QTest::newRow("echo in lower case") << "at+cbst=7,0,1\r" << "0,1" << false;
  QTest::newRow("without line breaks") << "OK" << "OK" << true;
}

void TestRingThread::findsTheExpectedTextOutsideEchoes() {
  QFETCH(QString, reply);
  QFETCH(QString, expected);
  QFETCH(bool, holds);
  QCOMPARE(ReplyHolds(reply, expected), holds);
}

void TestRingThread::dialStringKeepsOnlyDialCharacters_data() {
  QTest::addColumn<QString>("phone");
  QTest::addColumn<bool>("dialable");
  QTest::addColumn<QByteArray>("dial");
  QTest::newRow("blanks dropped") << "+7 900 123 45 67" << true << QByteArray("+79001234567");
  QTest::newRow("service code") << "*99#" << true << QByteArray("*99#");
  QTest::newRow("pauses, tone and pulse") << "8,,900W1P2" << true << QByteArray("8,,900W1P2");
  QTest::newRow("empty") << "" << true << QByteArray();
  QTest::newRow("CR and a further command") << "8900\rATZ" << false << QByteArray();
  QTest::newRow("LF") << "8900\n" << false << QByteArray();
  QTest::newRow("tab") << "8900\t1" << false << QByteArray();
  QTest::newRow("semicolon") << "8900;" << false << QByteArray();
  QTest::newRow("brackets and dash") << "8(900)123-45" << false << QByteArray();
  QTest::newRow("lower-case modifier") << "8900w1" << false << QByteArray();
  QTest::newRow("letter") << "8900A" << false << QByteArray();
  QTest::newRow("non-ASCII digit") << QString::fromUtf8("89\u0663") << false << QByteArray();
}

void TestRingThread::dialStringKeepsOnlyDialCharacters() {
  QFETCH(QString, phone);
  QFETCH(bool, dialable);
  QFETCH(QByteArray, dial);
  const std::optional<QByteArray> result = DialString(phone);
  QCOMPARE(result.has_value(), dialable);
  if (dialable)
    QCOMPARE(*result, dial);
}

void TestRingThread::endsWithResultCode_data() {
  QTest::addColumn<TPortKind>("port");
  QTest::addColumn<QStringList>("modemArgs");
  QTest::addColumn<uint>("code");
  QTest::addColumn<QList<int>>("stages");
  QTest::addColumn<QStringList>("commands");

  const QList<int> allStages{1, 2, 3};
  const auto failedDial = [](const QString &outcome) {
    return QStringList{"--dial", outcome};
  };
  const QStringList hungUp = kConnectedDial + QStringList{"ATH"};
  QTest::newRow("CONNECT 9600") << TPortKind::Modem << QStringList{} << 0u << allStages << kConnectedDial;
  QTest::newRow("roaming is not registered")
      << TPortKind::Modem << QStringList{"--creg", "0,5;0,1"} << 0u << allStages
      << kInitialisation + QStringList{"AT+CREG?", "AT+CREG?", "ATD" + kNumber};
  QTest::newRow("stale error word in a registration reply")
      << TPortKind::Modem << QStringList{"--creg", "NO CARRIER;0,1"} << 0u << allStages
      << kInitialisation + QStringList{"AT+CREG?", "AT+CREG?", "ATD" + kNumber};
  QTest::newRow("port cannot be opened") << TPortKind::Missing << QStringList{} << 1u << QList<int>{}
                                         << QStringList{};
  QTest::newRow("no OK") << TPortKind::Mute << QStringList{} << 2u << QList<int>{1}
                         << QStringList{"ATZ", "ATZ", "AT"};
  QStringList tenQueries = kInitialisation;
  for (int i = 0; i < 10; ++i)
    tenQueries.append("AT+CREG?");
  QTest::newRow("never registered") << TPortKind::Modem << QStringList{"--creg", "0,0;0,5"} << 3u
                                    << QList<int>{1, 2} << tenQueries;
  QTest::newRow("busy") << TPortKind::Modem << failedDial("BUSY") << 4u << allStages << hungUp;
  QTest::newRow("no carrier") << TPortKind::Modem << failedDial("NO CARRIER") << 5u << allStages << hungUp;
  QTest::newRow("no dialtone") << TPortKind::Modem << failedDial("NO DIALTONE") << 6u << allStages << hungUp;
  QTest::newRow("no answer") << TPortKind::Modem << failedDial("NO ANSWER") << 7u << allStages << hungUp;
  QTest::newRow("silence") << TPortKind::Modem << failedDial("SILENT") << 7u << allStages << hungUp;
}

void TestRingThread::endsWithResultCode() {
  QFETCH(TPortKind, port);
  QFETCH(QStringList, modemArgs);
  QFETCH(uint, code);
  QFETCH(QList<int>, stages);
  QFETCH(QStringList, commands);
  static const QStringList texts = {"",
                                    "Не могу открыть COM-порт",
                                    "Модем не отвечает",
                                    "Нет регистрации в сети GSM",
                                    "Номер занят",
                                    "Не могу дозвониться",
                                    "Нет сигнала в линии",
                                    "Номер не отвечает"};

  TTestLine line(port, modemArgs);
  QVERIFY2(line.ReadyError().isEmpty(), qPrintable(line.ReadyError()));
  TRingDial dial;
  dial.Start(line.Path());
  QVERIFY(dial.WaitForEnd());

  QCOMPARE(dial.handlerCalls, 1);
  QVERIFY(dial.handlerOnUiThread);
  QCOMPARE(dial.handlerCode, code);
  QCOMPARE(RingErrorMessages[code], texts[code]);
  QCOMPARE(dial.stages, stages);
  QCOMPARE(SentCommands(dial), commands);
  QTRY_COMPARE(line.Received(), AsWritten(commands));
  if (code == RING_CANNOT_OPEN) {
    QCOMPARE(dial.LogTails(), QStringList{" Ошибка открытия порта"});
    QCOMPARE(dial.takenCOM, INVALID_HANDLE_VALUE);
  } else {
    // Taken over by the handler: the deleted dialer must not have closed it.
    QVERIFY(IsOpenHandle(dial.takenCOM));
  }
}

// Bytes still queued when "AT" is sent count toward its reply: the only OK
// here comes while the dialer sleeps after the second ATZ, and "AT" itself is
// never answered.
void TestRingThread::lateOkSatisfiesWaitForAt() {
  TPtyPair pty;
  QVERIFY(pty.IsValid());
  TRingDial dial;
  dial.clock.beforeSleep = [&pty, resets = 0](uint32_t ms) mutable {
    if (ms == 500 && ++resets == 2)
      pty.Send("\r\nOK\r\n");
  };
  dial.Start(pty.Path());
  QVERIFY(dial.WaitForEnd());

  QCOMPARE(SentCommands(dial), kInitialisation);
  QCOMPARE(dial.handlerCode, RING_NO_MODEM); // AT+CBST=7,0,1 got no OK
}

void TestRingThread::logsTimeStampedLinesAndDialsWithoutBlanks() {
  const QString number = QStringLiteral("8 900 123 45 67");
  TSimProcess modem(TSimProcess::TKind::Modem, {"--echo", "off"});
  QVERIFY2(modem.isReady(), qPrintable(modem.errorString()));
  TRingDial dial;
  QSignalSpy written(&dial.log, &TLogModel::Written);
  dial.Start(modem.linkPath(), number);
  QVERIFY(dial.WaitForEnd());

  QCOMPARE(dial.handlerCode, RING_CONNECTED);
  const QStringList tails = dial.LogTails();
  QCOMPARE(tails.mid(0, 3), (QStringList{" Порт успешно открыт", ">> ", " Инициализация модема"}));
  QVERIFY(tails.contains(">> CONNECT 9600"));
  QVERIFY(tails.contains("<< ATD89001234567"));
  QCOMPARE(modem.command("dialled"), "OK 89001234567");
  const QRegularExpression stamp(QStringLiteral("^\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}:"));
  for (const QString &entry : dial.log.Entries())
    QVERIFY2(stamp.match(entry).hasMatch(), qPrintable(entry));
  // The lines are told as the dialer's, which the log window always scrolls to.
  QVERIFY(!written.isEmpty());
  for (const QList<QVariant> &arguments : written)
    QVERIFY(arguments.at(0).toBool());
}

// Whoever creates the dialer, a number that is no dial string never reaches
// the modem.
void TestRingThread::undialableNumberIsNeverSent() {
  TSimProcess modem(TSimProcess::TKind::Modem);
  QVERIFY2(modem.isReady(), qPrintable(modem.errorString()));
  TRingDial dial;
  dial.Start(modem.linkPath(), QStringLiteral("8900\rATZ"));
  QVERIFY(dial.WaitForEnd());
  QCOMPARE(dial.handlerCode, RING_NO_CARRIER);
  QCOMPARE(SentCommands(dial), kInitialisation + QStringList{"AT+CREG?"});
  QVERIFY(dial.LogTails().contains(" Недопустимый номер телефона"));
  QTRY_COMPARE(modem.receivedBytes(), AsWritten(kInitialisation + QStringList{"AT+CREG?"}));
}

void TestRingThread::cancelEndsWithCode255_data() {
  QTest::addColumn<QString>("atLogLine");
  QTest::addColumn<uint>("atSleepMs");
  QTest::addColumn<QStringList>("modemArgs");
  QTest::addColumn<QStringList>("commands");
  const QString none;
  QTest::newRow("drain") << none << 1000u << QStringList{} << QStringList{};
  QTest::newRow("initialisation") << " Инициализация модема" << 0u << QStringList{} << QStringList{"ATZ", "ATZ"};
  QTest::newRow("registration") << "<< AT+CREG?" << 0u << QStringList{"--creg", "0,0"}
                                << kInitialisation + QStringList{"AT+CREG?"};
  QTest::newRow("dial wait") << "<< ATD" << 0u << QStringList{"--dial", "SILENT"}
                             << kConnectedDial + QStringList{"ATH"};
  QTest::newRow("pause after CONNECT") << none << 5000u << QStringList{} << kConnectedDial;
}

void TestRingThread::cancelEndsWithCode255() {
  QFETCH(QString, atLogLine);
  QFETCH(uint, atSleepMs);
  QFETCH(QStringList, modemArgs);
  QFETCH(QStringList, commands);

  TSimProcess modem(TSimProcess::TKind::Modem, modemArgs);
  QVERIFY2(modem.isReady(), qPrintable(modem.errorString()));
  TRingDial dial;
  if (atSleepMs != 0)
    dial.CancelAtSleep(atSleepMs);
  else
    dial.CancelAtLogLine(atLogLine);
  dial.Start(modem.linkPath());
  QVERIFY(dial.ServeUntilCancelRequested());
  QVERIFY(dial.Cancel());

  QCOMPARE(dial.handlerCalls, 1);
  QCOMPARE(dial.handlerCode, RING_CANCELLED);
  QCOMPARE(SentCommands(dial), commands);
  QTRY_COMPARE(modem.receivedBytes(), AsWritten(commands));
  QVERIFY(IsOpenHandle(dial.takenCOM)); // closed by its new owner only
}

void TestRingThread::cancelEndsAPauseAtOnce_data() {
  QTest::addColumn<uint>("pauseMs");
  QTest::addColumn<QStringList>("modemArgs");
  QTest::newRow("poll of a reply wait") << 50u << QStringList{"--dial", "SILENT"};
  QTest::newRow("after a reset") << 500u << QStringList{};
  QTest::newRow("drain") << 1000u << QStringList{};
  QTest::newRow("between registrations") << 2000u << QStringList{"--creg", "0,0"};
  QTest::newRow("before dialling") << 3000u << QStringList{};
  QTest::newRow("after CONNECT") << 5000u << QStringList{};
}

// A cancelled dialer's port is opened again only once it has ended: the cancel
// must end the pause the dialer is in, not wait for it to run its course.
void TestRingThread::cancelEndsAPauseAtOnce() {
  QFETCH(uint, pauseMs);
  QFETCH(QStringList, modemArgs);
  TSimProcess modem(TSimProcess::TKind::Modem, modemArgs);
  QVERIFY2(modem.isReady(), qPrintable(modem.errorString()));
  TRingDial dial;
  dial.clock.HoldFirstSleepOf(pauseMs);
  dial.Start(modem.linkPath());
  QVERIFY(dial.ServeUntilHeld());
  const uint32_t heldAt = dial.clock.TickCount();

  QVERIFY(dial.Cancel());
  QCOMPARE(dial.clock.TickCount(), heldAt);
  QCOMPARE(dial.handlerCode, RING_CANCELLED);
}

void TestRingThread::deletingRunningDialerStopsItAndClosesPort() {
  TSimProcess modem(TSimProcess::TKind::Modem);
  QVERIFY2(modem.isReady(), qPrintable(modem.errorString()));
  TRingDial dial;
  dial.Start(modem.linkPath());
  QTRY_COMPARE(dial.Count(" Порт успешно открыт"), 1);
  const TCOMHandle port = dial.Dialer()->hCOM();
  QVERIFY(IsOpenHandle(port));

  dial.DeleteDialer();
  QCOMPARE(dial.handlerCalls, 0);
  QVERIFY(!IsOpenHandle(port));
}

// The worker never waits for the UI thread: with nobody serving that thread it
// runs to its end, and its lines and its end arrive once the thread serves
// them again.
void TestRingThread::workerEndsWithoutTheUiThread() {
  TPtyPair pty;
  QVERIFY(pty.IsValid());
  TRingDial dial;
  dial.Start(pty.Path());
  QVERIFY(dial.Dialer()->wait(QDeadlineTimer(30000)));
  QCOMPARE(dial.log.rowCount(), 0);
  QCOMPARE(dial.handlerCalls, 0);

  QVERIFY(dial.WaitForEnd());
  QCOMPARE(dial.handlerCode, RING_NO_MODEM);
  QCOMPARE(dial.stages, QList<int>{1});
  QCOMPARE(SentCommands(dial), (QStringList{"ATZ", "ATZ", "AT"}));
}

// A port nobody took over is closed with the dialer object.
void TestRingThread::deletedDialerClosesThePortItKept() {
  TPtyPair pty;
  QVERIFY(pty.IsValid());
  TRingDial dial;
  dial.takeCOM = false;
  dial.Start(pty.Path());
  QVERIFY(dial.WaitForHandler());
  QVERIFY(IsOpenHandle(dial.handlerCOM));
  dial.DeleteDialer();
  QVERIFY(!IsOpenHandle(dial.handlerCOM));
}

QTEST_GUILESS_MAIN(TestRingThread)
#include "test_ringthread.moc"
