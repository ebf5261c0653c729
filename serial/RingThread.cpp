#include "serial/RingThread.h"

#include <algorithm>

const std::array<QString, 8> RingErrorMessages = {
    QString(),
    QStringLiteral("Не могу открыть COM-порт"),
    QStringLiteral("Модем не отвечает"),
    QStringLiteral("Нет регистрации в сети GSM"),
    QStringLiteral("Номер занят"),
    QStringLiteral("Не могу дозвониться"),
    QStringLiteral("Нет сигнала в линии"),
    QStringLiteral("Номер не отвечает"),
};

const std::array<QString, 3> RingStageTexts = {
    QStringLiteral("Инициализация модема"),
    QStringLiteral("Регистрация в сети"),
    QStringLiteral("Набор номера"),
};

namespace {

constexpr uint32_t kDrainSeconds = 15;
constexpr uint32_t kResetCount = 2;
constexpr uint32_t kAfterResetMs = 500;
constexpr uint32_t kOkTimeoutMs = 5000;
constexpr uint32_t kRegistrationAttempts = 10;
constexpr uint32_t kRegistrationTimeoutMs = 2000;
constexpr uint32_t kBetweenRegistrationsMs = 2000;
constexpr uint32_t kBeforeDialMs = 3000;
constexpr uint32_t kConnectTimeoutMs = 45000;
constexpr uint32_t kAfterConnectMs = 5000;
constexpr uint32_t kPollMs = 50;

QString ReplyText(const std::string &reply) {
  return QString::fromLocal8Bit(reply.data(), qsizetype(reply.size()));
}

// Result codes are ASCII, so only ASCII letters are folded: the full upper
// case of some other letters holds ASCII ones (that of U+0149 is U+02BC 'N',
// that of U+0131 is 'I') and would find a code in data that holds none.
QString AsciiUpper(QString text) {
  for (QChar &c : text) {
    if (c >= u'a' && c <= u'z')
      c = QChar(c.unicode() - u'a' + u'A');
  }
  return text;
}

} // namespace

QStringList SplitLogLines(const QString &text) {
  if (!text.contains(QLatin1Char('\r')))
    return {text};
  QStringList lines;
  QString line;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c != QLatin1Char('\r') && c != QLatin1Char('\n')) {
      line += c;
      continue;
    }
    lines.append(line);
    line.clear();
    if (c == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
      ++i;
  }
  if (!line.isEmpty()) // the text does not end with a break
    lines.append(line);
  return lines;
}

bool ReplyHolds(const QString &replyText, const QString &expected) {
  const QStringList lines = AsciiUpper(replyText).replace(u'\n', u'\r').split(u'\r');
  return std::any_of(lines.cbegin(), lines.cend(), [&expected](const QString &line) {
    return !line.startsWith(QLatin1String("AT")) && line.contains(expected);
  });
}

std::optional<QByteArray> DialString(const QString &phone) {
  static const QString allowed = QStringLiteral("0123456789+*#,WP");
  QByteArray dial;
  for (const QChar c : phone) {
    if (c == u' ')
      continue;
    if (!allowed.contains(c))
      return std::nullopt;
    dial.append(char(c.unicode()));
  }
  return dial;
}

uint32_t ModemErrorCode(const QString &replyText) {
  static const std::array<std::pair<const char *, uint32_t>, 4> words = {{
      {"BUSY", RING_BUSY},
      {"NO CARRIER", RING_NO_CARRIER},
      {"NO DIALTONE", RING_NO_DIALTONE},
      {"NO ANSWER", RING_NO_ANSWER},
  }};
  const QString upper = AsciiUpper(replyText);
  for (const auto &[word, code] : words)
    if (upper.contains(QLatin1String(word)))
      return code;
  return 0;
}

TRingThread::TRingThread(const TRingThreadCreateStruct &ACreateStruct, TClock &clock)
    : FCreateStruct(ACreateStruct), FClock(clock) {}

TRingThread::~TRingThread() {
  Terminate();
  wait();
  if (FhCOM != INVALID_HANDLE_VALUE)
    CloseCOM(FhCOM);
}

TCOMHandle TRingThread::TakeCOM() {
  const TCOMHandle handle = FhCOM;
  FhCOM = INVALID_HANDLE_VALUE;
  return handle;
}

void TRingThread::run() { Execute(); }

// Every way out leaves the stop flag set; a stop check returns without
// touching the code or the port any further.
void TRingThread::Execute() {
  if (!OpenCOM(FCreateStruct.COM.toLocal8Bit().toStdString(), FCreateStruct.BaudRate, FhCOM)) {
    LogText(QStringLiteral("Ошибка открытия порта"));
    Finish(RING_CANNOT_OPEN);
    return;
  }
  if (Terminated())
    return;
  PostProgress(1);
  LogText(QStringLiteral("Порт успешно открыт"));
  if (!DrainLine())
    return;
  LogText(QStringLiteral("Инициализация модема"));
  ResetModem();
  if (Terminated() || !InitialiseModem("AT") || !InitialiseModem("AT+CBST=7,0,1"))
    return;
  PostProgress(2);
  if (!WaitForRegistration())
    return;
  Pause(kBeforeDialMs);
  if (Terminated())
    return;
  PostProgress(3);
  Dial();
}

// Collects whatever the modem says on its own before the dialogue starts.
bool TRingThread::DrainLine() {
  std::string drained;
  for (uint32_t second = 0; second < kDrainSeconds; ++second) {
    drained += ReadCOMString(FhCOM);
    Pause(1000);
    if (Terminated())
      return false;
  }
  LogText(ReplyText(drained), QStringLiteral(">>"));
  return true;
}

void TRingThread::ResetModem() {
  for (uint32_t i = 0; i < kResetCount; ++i) {
    SendCommand("ATZ");
    ReadCOMString(FhCOM);
    Pause(kAfterResetMs);
  }
}

// False when the thread is to end: stopped, or no "OK" (code 2).
bool TRingThread::InitialiseModem(const QByteArray &command) {
  SendCommand(command);
  const bool answered = WaitForOK(kOkTimeoutMs);
  if (Terminated())
    return false;
  if (!answered)
    Finish(RING_NO_MODEM);
  return answered;
}

bool TRingThread::WaitForRegistration() {
  bool registered = false;
  for (uint32_t attempt = 0; attempt < kRegistrationAttempts && !registered; ++attempt) {
    if (Terminated())
      return false;
    SendCommand("AT+CREG?");
    registered = WaitForReply(QStringLiteral("0,1"), kRegistrationTimeoutMs);
    if (!registered)
      Pause(kBetweenRegistrationsMs);
  }
  if (Terminated())
    return false;
  if (!registered) {
    Finish(RING_NOT_REGISTERED);
    return false;
  }
  // An error word seen in an earlier registration reply says nothing about the call.
  StoreCode(RING_CONNECTED);
  return true;
}

void TRingThread::Dial() {
  const std::optional<QByteArray> number = DialString(FCreateStruct.Phone);
  if (!number) {
    LogText(QStringLiteral("Недопустимый номер телефона"));
    Finish(RING_NO_CARRIER);
    return;
  }
  SendCommand("ATD" + *number);
  if (WaitForReply(QStringLiteral("CONNECT"), kConnectTimeoutMs)) {
    Pause(kAfterConnectMs);
    Terminate();
    return;
  }
  // Keeps an error word of the reply, and a cancel.
  uint32_t connected = RING_CONNECTED;
  FErrCode.compare_exchange_strong(connected, RING_NO_ANSWER);
  SendCommand("ATH");
  Terminate();
}

void TRingThread::Finish(uint32_t code) {
  StoreCode(code);
  Terminate();
}

void TRingThread::StoreCode(uint32_t code) {
  uint32_t current = FErrCode.load();
  while (current != RING_CANCELLED && !FErrCode.compare_exchange_weak(current, code)) {
  }
}

void TRingThread::Pause(uint32_t ms) { FClock.SleepUnlessStopped(ms, FStop); }

void TRingThread::PostProgress(int stage) { emit Progress(stage); }

void TRingThread::SendCommand(const QByteArray &command) {
  WriteCOMString(FhCOM, (command + "\r\n").toStdString());
  LogText(QString::fromLocal8Bit(command), QStringLiteral("<<"));
}

// Bytes still queued from an earlier command count toward this reply.
bool TRingThread::WaitForReply(const QString &expected, uint32_t timeoutMs) {
  const uint32_t start = FClock.TickCount();
  std::string reply;
  while (!Terminated() && FClock.TickCount() - start < timeoutMs) {
    reply += ReadCOMString(FhCOM);
    const QString text = ReplyText(reply);
    if (CheckModemError(text)) {
      LogText(text, QStringLiteral(">>"));
      return false;
    }
    if (ReplyHolds(text, expected)) {
      LogText(text, QStringLiteral(">>"));
      return !Terminated();
    }
    Pause(kPollMs);
  }
  LogText(ReplyText(reply), QStringLiteral(">>"));
  return false;
}

bool TRingThread::CheckModemError(const QString &replyText) {
  const uint32_t code = ModemErrorCode(replyText);
  if (code != 0)
    StoreCode(code);
  return code != 0;
}

void TRingThread::LogText(const QString &text, const QString &prefix) {
  for (const QString &line : SplitLogLines(text))
    emit LogLine(QDateTime::currentDateTime(), prefix, line);
}
