#include "app/SetupLauncher.h"

#include "platform/PrivateTempFolder.h"
#include "ui/Prompts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>

namespace {

constexpr int ReapIntervalMs = 500;

bool IsBlankOrControl(QChar c) { return c.unicode() <= 32; }

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

std::string NativePath(const QString &path) { return QFile::encodeName(path).toStdString(); }

bool IsUnder(const QString &path, const QString &folder) {
  return path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

// True when `path` resolves to a file inside `root` and neither `root` nor any
// folder below it on the way to the file can be written by group or others.
bool IsInsideClosedFolder(const QString &path, const QString &root) {
  const QString file = QFileInfo(path).canonicalFilePath();
  const QString top = QFileInfo(root).canonicalFilePath();
  if (file.isEmpty() || top.isEmpty() || !IsUnder(file, top))
    return false;
  for (QString folder = QFileInfo(file).path();; folder = QFileInfo(folder).path()) {
    if (QFileInfo(folder).permissions() & (QFile::WriteGroup | QFile::WriteOther))
      return false;
    if (folder == top)
      return true;
  }
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
    if (equals >= 0 && line.first(equals).compare(key, Qt::CaseInsensitive) == 0)
      return line.sliced(equals + 1).toString();
  }
  return QString();
}

TSetupLauncher::TSetupLauncher(const QString &exeDir, QWidget *owner)
    : FExeDir(QDir::cleanPath(exeDir)), FOwner(owner) {
  FReapTimer.setInterval(ReapIntervalMs);
  QObject::connect(&FReapTimer, &QTimer::timeout, &FReapTimer, [this] { ReapIfExited(); });
}

TSetupLauncher::~TSetupLauncher() { StopSetupProgram(); }

void TSetupLauncher::StartSetupProgram(const QByteArray &verInfo) {
  if (FSetupIsStarted)
    return;
  std::string reason;
  const QString privateFolder = QFile::decodeName(QByteArray::fromStdString(PrivateTempFolder(&reason)));
  if (privateFolder.isEmpty()) {
    qWarning("No private temporary folder: %s", reason.c_str());
    ShowError(FOwner, QStringLiteral("Оболочка не запущена, системная ошибка"));
    return;
  }
  const QString iniPath = InFolder(FExeDir, QStringLiteral("setup.ini"));
  if (!QFileInfo(iniPath).isFile()) {
    ShowError(FOwner, QStringLiteral("Оболочка не запущена, не найден файл настроек"));
    return;
  }
  const QString key = DeviceKeyFromVerInfo(verInfo);
  QByteArray ini;
  QString readError;
  if (!ReadWholeFile(iniPath, &ini, &readError)) {
    ShowError(FOwner, QStringLiteral("Оболочка не запущена, не удалось прочитать файл настроек: %1").arg(readError));
    return;
  }
  const QString candidate = CopyToPrivateFolder(LookupSetupIni(ini, key), privateFolder);
  FSetupIsStarted = QFileInfo(candidate).isFile() && StartCandidate(candidate, privateFolder);
}

void TSetupLauncher::StopSetupProgram() {
  if (FSetupIsStarted) {
    FReapTimer.stop();
    FSetupProcess.Kill();
    QFile::remove(FSetupFile);
  }
  FSetupIsStarted = false;
}

// Returns the file to start: the copy when the named program exists, else the
// (missing) program's own path. A copy already in place is kept.
QString TSetupLauncher::CopyToPrivateFolder(const QString &value, const QString &privateFolder) const {
  const QString source = InFolder(FExeDir, value);
  if (!QFileInfo(source).isFile())
    return source;
  const QString target = QDir::cleanPath(InFolder(privateFolder, value + QStringLiteral(".exe")));
  // A value climbing out with ".." must not plant files elsewhere.
  if (IsUnder(target, privateFolder))
    CopyFileNoReplace(NativePath(source), NativePath(target));
  return target;
}

bool TSetupLauncher::StartCandidate(const QString &candidate, const QString &privateFolder) {
  if (!IsInsideClosedFolder(candidate, privateFolder) && !IsInsideClosedFolder(candidate, FExeDir)) {
    qWarning("Not starting %s: it lies outside the program's folders or others can write to its folder",
             qUtf8Printable(candidate));
    return false;
  }
  std::string reason;
  if (!FSetupProcess.Start(NativePath(candidate), NativePath(FExeDir), &reason)) {
    qWarning("Cannot start the setup program: %s", reason.c_str());
    return false;
  }
  FSetupFile = candidate;
  FReapTimer.start();
  return true;
}

void TSetupLauncher::ReapIfExited() {
  if (FSetupProcess.ReapIfExited())
    FReapTimer.stop();
}
