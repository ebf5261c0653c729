#include "core/SetupLauncher.h"

#include "core/Teardown.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

#include <algorithm>

namespace {

constexpr int EndWatchIntervalMs = 500;

bool IsBlankOrControl(QChar c) { return c.unicode() <= 32; }

// Blanks and control characters cut from both ends; a no-break space or
// another Unicode space stays, as a device key may hold one.
QStringView WithoutBlanksAround(QStringView text) {
  while (!text.isEmpty() && IsBlankOrControl(text.front()))
    text = text.sliced(1);
  while (!text.isEmpty() && IsBlankOrControl(text.back()))
    text.chop(1);
  return text;
}

QString DecodeSetupIni(const QByteArray &bytes) {
  const auto decodeAfterBom = [&bytes](QStringConverter::Encoding encoding, qsizetype bomSize) {
    QStringDecoder decoder(encoding, QStringConverter::Flag::ConvertInitialBom);
    return QString(decoder(QByteArrayView(bytes).sliced(bomSize)));
  };
  if (bytes.startsWith("\xEF\xBB\xBF"))
    return decodeAfterBom(QStringConverter::Utf8, 3);
  if (bytes.startsWith("\xFF\xFE"))
    return decodeAfterBom(QStringConverter::Utf16LE, 2);
  if (bytes.startsWith("\xFE\xFF"))
    return decodeAfterBom(QStringConverter::Utf16BE, 2);
  return QString::fromLocal8Bit(bytes);
}

QString InFolder(const QString &folder, const QString &relative) { return folder + u'/' + relative; }

QString Native(const QString &path) { return QDir::toNativeSeparators(path); }

std::string NativePath(const QString &path) { return QFile::encodeName(Native(path)).toStdString(); }

// The wine to start Windows programs with: TANDREL_WINE (a path, or a name
// looked up on PATH) when set, else the wine on PATH; empty when missing.
QString WineProgram() {
  const QString named = qEnvironmentVariable("TANDREL_WINE");
  if (named.isEmpty())
    return QStandardPaths::findExecutable(QStringLiteral("wine"));
  if (!named.contains(u'/'))
    return QStandardPaths::findExecutable(named);
  const QFileInfo file(named);
  return file.isFile() && file.isExecutable() ? file.absoluteFilePath() : QString();
}

bool ReadWholeFile(const QString &path, QByteArray *contents, QString *error) {
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    *contents = file.readAll();
    if (file.error() == QFileDevice::NoError)
      return true;
  }
  *error = file.errorString();
  return false;
}

} // namespace

QString DeviceKeyFromVerInfo(const QByteArray &verInfo) {
  QString text = QString::fromLocal8Bit(verInfo);
  text.remove(u'"');
  const QStringView rest = QStringView(text).sliced(text.indexOf(u',') + 1);
  // Nothing that could be an item: treated like a device setup.ini does not list.
  if (std::all_of(rest.begin(), rest.end(), IsBlankOrControl))
    return QString();
  qsizetype start = 0;
  while (rest[start].unicode() >= 1 && rest[start].unicode() <= 32)
    ++start;
  qsizetype end = start;
  while (end < rest.size() && rest[end] != u',' && !IsBlankOrControl(rest[end]))
    ++end;
  const QStringView item = rest.sliced(start, end - start);
  const qsizetype stop = item.indexOf(u'.');
  // Empty, but not null: such a key still matches a line that begins with '='.
  return QString(item.data(), std::max<qsizetype>(stop, 0));
}

QString LookupSetupIni(const QByteArray &iniBytes, const QString &key) {
  if (key.isNull())
    return QString();
  QString text = DecodeSetupIni(iniBytes);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  for (const QStringView line : QStringView(text).split(u'\n')) {
    const qsizetype equals = line.indexOf(u'=');
    if (equals >= 0 && WithoutBlanksAround(line.first(equals)).compare(key, Qt::CaseInsensitive) == 0) {
      const QStringView value = WithoutBlanksAround(line.sliced(equals + 1));
      // Empty, but not null: the device is listed.
      return value.isEmpty() ? QStringLiteral("") : value.toString();
    }
  }
  return QString();
}

QString ProblemWithProgramName(const QString &value) {
  if (value.trimmed().isEmpty())
    return QStringLiteral("имя пусто");
  for (const QChar separator : {u'/', u'\\', u':'}) {
    if (value.contains(separator))
      return QStringLiteral("в имени есть разделитель пути \"%1\"").arg(separator);
  }
  if (value.contains(QStringLiteral("..")))
    return QStringLiteral("в имени есть \"..\"");
  return QString();
}

TSetupLauncher::TSetupLauncher(const QString &exeDir, TTeardown &teardown, TLog log)
    : FExeDir(QDir::cleanPath(exeDir)), FTeardown(teardown), FLog(std::move(log)) {
  FEndWatch.setInterval(EndWatchIntervalMs);
  QObject::connect(&FEndWatch, &QTimer::timeout, &FEndWatch, [this] { TellIfEnded(); });
}

TSetupLauncher::~TSetupLauncher() { StopSetupProgram(); }

TSetupStart TSetupLauncher::StartSetupProgram(const QByteArray &verInfo) {
  TSetupStart start;
  if (FSetupIsStarted)
    return start;
  const QString privateFolder = PrivateFolder(start);
  if (privateFolder.isEmpty())
    return start;
  QByteArray ini;
  if (!ReadSetupIni(&ini, start))
    return start;
  const QString program = ProgramNamed(ini, DeviceKeyFromVerInfo(verInfo));
  FSetupIsStarted = !program.isEmpty() && StartCopy(program, privateFolder, start);
  return start;
}

// The process, what it started and its copy go to the teardown, which waits
// out the grace before the kill and deletes the copy once nothing runs it.
void TSetupLauncher::StopSetupProgram() {
  if (FSetupIsStarted) {
    TellIfEnded();
    FEndWatch.stop();
    auto process = std::shared_ptr<TProcess>(std::move(FSetupProcess));
    auto copy = std::shared_ptr<TPrivateCopy>(std::move(FCopy));
    const std::string copyPath = NativePath(FSetupFile);
    const bool throughWine = FThroughWine;
    FTeardown.Run([process, copy, copyPath, throughWine] {
      process->Stop();
      // Its Windows process may outlive the wine that started it.
      if (throughWine)
        EndProcessesNaming(copyPath);
      copy->Remove();
    });
  }
  FSetupIsStarted = false;
}

QString TSetupLauncher::PrivateFolder(TSetupStart &start) const {
  std::string reason;
  const QString folder = QFile::decodeName(QByteArray::fromStdString(PrivateTempFolder(&reason)));
  if (folder.isEmpty()) {
    FLog(QStringLiteral("Нет личной временной папки: %1").arg(QString::fromLocal8Bit(reason)));
    start.box = QStringLiteral("Оболочка не запущена, системная ошибка");
  }
  return folder;
}

bool TSetupLauncher::ReadSetupIni(QByteArray *ini, TSetupStart &start) const {
  const QString iniPath = InFolder(FExeDir, QStringLiteral("setup.ini"));
  if (!QFileInfo(iniPath).isFile()) {
    start.box = QStringLiteral("Оболочка не запущена, не найден файл настроек");
    return false;
  }
  QString readError;
  if (!ReadWholeFile(iniPath, ini, &readError)) {
    start.box = QStringLiteral("Оболочка не запущена, не удалось прочитать файл настроек: %1").arg(readError);
    return false;
  }
  return true;
}
// The program that setup.ini names for `key`, or an empty text, with the
// reason in the log, when it names none that may be started.
QString TSetupLauncher::ProgramNamed(const QByteArray &ini, const QString &key) const {
  const QString value = LookupSetupIni(ini, key);
  if (value.isNull()) {
    FLog(QStringLiteral("В setup.ini нет программы настройки для прибора \"%1\"").arg(key));
    return QString();
  }
  const QString problem = ProblemWithProgramName(value);
  if (!problem.isEmpty()) {
    FLog(QStringLiteral("Программа настройки \"%1\" для прибора \"%2\" в setup.ini не принята: %3")
             .arg(value, key, problem));
    return QString();
  }
  return value;
}

// Copies the program afresh over whatever an earlier run left in the private
// folder, and starts the copy in the program's folder.
bool TSetupLauncher::StartCopy(const QString &program, const QString &privateFolder, TSetupStart &start) {
  const QString source = InFolder(FExeDir, program);
  if (!QFileInfo(source).isFile()) {
    FLog(QStringLiteral("Программа настройки не найдена: %1").arg(Native(source)));
    return false;
  }
  const QString copy = InFolder(privateFolder, program + QStringLiteral(".exe"));
  std::string reason;
  FCopy = std::make_unique<TPrivateCopy>();
  if (!FCopy->Make(NativePath(source), NativePath(copy), &reason)) {
    FLog(QStringLiteral("Не удалось скопировать программу настройки в %1: %2")
             .arg(Native(copy), QString::fromLocal8Bit(reason)));
    return false;
  }
  if (!StartProcess(copy, &reason, start)) {
    if (start.refusal.isEmpty())
      FLog(QStringLiteral("Не удалось запустить программу настройки %1: %2")
               .arg(Native(copy), QString::fromLocal8Bit(reason)));
    FCopy->Remove();
    return false;
  }
  FSetupFile = copy;
  FEndTold = false;
  FEndWatch.start();
  return true;
}

bool TSetupLauncher::StartProcess(const QString &copy, std::string *reason, TSetupStart &start) {
  FSetupProcess = std::make_unique<TProcess>();
  FThroughWine = NeedsWine(NativePath(copy));
  if (!FThroughWine)
    return FSetupProcess->Start(NativePath(copy), NativePath(FExeDir), reason);
  const QString wine = WineProgram();
  if (wine.isEmpty()) {
    start.refusal =
        QStringLiteral("Программа настройки — программа для Windows; для её запуска установите wine (пакет wine).");
    return false;
  }
  // wine's own tracing would fill the wizard's terminal.
  const TInterpreter through{NativePath(wine), {"WINEDEBUG=-all"}};
  if (!FSetupProcess->Start(NativePath(copy), NativePath(FExeDir), reason, &through))
    return false;
  FLog(QStringLiteral("Программа настройки запущена через wine: %1").arg(Native(wine)));
  return true;
}

void TSetupLauncher::TellIfEnded() {
  TProcessEnd end;
  if (FEndTold || !FSetupProcess || !FSetupProcess->HasEnded(&end))
    return;
  FEndTold = true;
  FEndWatch.stop();
  const QString how = end.bySignal ? QStringLiteral("сигнал") : QStringLiteral("код");
  FLog(QStringLiteral("Программа настройки завершилась: %1 %2").arg(how).arg(end.number));
}
