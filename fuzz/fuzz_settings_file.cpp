// The settings file through its store. Whatever the file holds, opening it,
// reading the settings and writing one value never crashes. A file the store
// loads is written so that it reads back with the new value and every other
// value as before, and once rewritten, writing the same value again changes
// no byte; a file it cannot load is refused and left as it is.
//
// Input: the name to write and then its text, each ended by an end mark (a
// backslash and any byte but a backslash; two backslashes stand for one),
// then the bytes of the file. A text "#N" with a decimal N writes the integer
// N. Name and text are UTF-8, or UTF-16LE code units after FF FE, so that
// lone surrogates can be given.

#include "core/RegFileStore.h"

#include "FuzzCheck.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

#include <functional>
#include <optional>

namespace {

constexpr size_t kMaxNameSize = 64;
constexpr size_t kMaxTextSize = 512;

struct TWrite {
  QString name;
  QString text;
  std::optional<int32_t> number; // written as an integer instead of `text`
};

QString TextFromBytes(const std::string &bytes)
{
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE')
    return QString::fromStdString(bytes);
  QString text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    text += QChar(char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
  return text;
}

TWrite WriteFrom(FuzzedDataProvider &input)
{
  TWrite write;
  write.name = TextFromBytes(input.ConsumeRandomLengthString(kMaxNameSize));
  write.text = TextFromBytes(input.ConsumeRandomLengthString(kMaxTextSize));
  bool isNumber = false;
  const int32_t number = write.text.startsWith(u'#') ? write.text.sliced(1).toInt(&isNumber) : 0;
  if (isNumber)
    write.number = number;
  return write;
}

void Perform(TRegFileStore &store, const TWrite &write)
{
  const std::u16string name = write.name.toStdU16String();
  if (write.number)
    store.WriteInteger(name, *write.number);
  else
    store.WriteString(name, write.text.toStdU16String());
}

bool Succeeds(const std::function<void()> &action)
{
  try {
    action();
    return true;
  } catch (const TRegistryError &) {
    return false;
  }
}

QString Outcome(const std::function<QString()> &read)
{
  try {
    return read();
  } catch (const TRegistryError &error) {
    return QStringLiteral("error: ") + QString::fromUtf8(error.what());
  }
}

// Everything a reader can learn about one value.
QString Outcome(const TRegFileStore &store, const QString &name)
{
  const std::u16string key = name.toStdU16String();
  return QStringList{Outcome([&] { return QString::number(store.ValueExists(key)); }),
                     Outcome([&] { return QStringView(store.ReadString(key)).toString(); }),
                     Outcome([&] { return QString::number(store.ReadInteger(key)); })}
      .join(QStringLiteral(" | "));
}

// What a reader finds of the written value itself.
QString ReadBack(const TRegFileStore &store, const TWrite &write)
{
  const std::u16string key = write.name.toStdU16String();
  return Outcome([&] {
    return write.number ? QString::number(store.ReadInteger(key)) : QStringView(store.ReadString(key)).toString();
  });
}

QString Expected(const TWrite &write)
{
  if (write.number)
    return QString::number(*write.number);
  // A string is read up to its first NUL.
  const qsizetype nul = write.text.indexOf(QChar(0));
  return nul < 0 ? write.text : write.text.first(nul);
}

bool SameName(const QString &a, const QString &b)
{
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The written name and the program's settings (the ends of the phone history).
QStringList ProbedNames(const TWrite &write)
{
  return {write.name, QStringLiteral("COM"), QStringLiteral("CHANNEL"), QStringLiteral("phone1"),
          QStringLiteral("phone8")};
}

QStringList Outcomes(const TRegFileStore &store, const QStringList &names)
{
  QStringList outcomes;
  for (const QString &name : names)
    outcomes.append(name + QStringLiteral(": ") + Outcome(store, name));
  return outcomes;
}

bool Loads(const TRegFileStore &store)
{
  return Succeeds([&] { store.ValueExists(u"COM"); });
}

// A name that cannot stand on one line of the file is refused.
bool FitsOnALine(const QString &name)
{
  return !name.contains(u'\r') && !name.contains(u'\n') && !name.contains(QChar(0)) && name.isValidUtf16();
}

QByteArray ReadFile(const QString &path)
{
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// A fresh settings file in a folder of this process, removed at its end.
QString FreshFile(const QByteArray &bytes)
{
  static const QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/tandrel-fuzz-settings-XXXXXX"));
  Check(scratch.isValid(), "a scratch folder can be made");
  QDir folder(scratch.filePath(QStringLiteral("config")));
  folder.removeRecursively();
  Check(folder.mkpath(QStringLiteral(".")), "the settings folder can be made");
  const QString path = folder.filePath(QStringLiteral("Tandrel.reg"));
  QFile file(path);
  Check(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(), "the settings file can be written");
  return path;
}

void CheckUnloadedFileIsKept(TRegFileStore &store, const TWrite &write, const QString &path, const QByteArray &bytes)
{
  Check(!Succeeds([&] { Perform(store, write); }), "a file that does not load is not written");
  Check(ReadFile(path) == bytes, "a file that does not load is left as it is");
}

void CheckRoundTrip(TRegFileStore &store, const TWrite &write, const QString &path)
{
  const QStringList names = ProbedNames(write);
  const QStringList before = Outcomes(store, names);
  const QByteArray opened = ReadFile(path);
  const bool written = Succeeds([&] { Perform(store, write); });
  Check(written == FitsOnALine(write.name), "a write is refused only for a name that cannot stand on a line");
  if (!written) {
    Check(ReadFile(path) == opened, "a refused write leaves the file as it is");
    return;
  }

  const TRegFileStore reopened(path);
  Check(Loads(reopened), "what the store wrote loads again");
  CheckEqual(ReadBack(reopened, write), Expected(write), "the written value reads back");
  const QStringList after = Outcomes(reopened, names);
  CheckEqual(after.join(u'\n'), Outcomes(store, names).join(u'\n'), "the file reads as the store that wrote it");
  for (qsizetype i = 0; i < names.size(); ++i) {
    if (!SameName(names[i], write.name))
      CheckEqual(after[i], before[i], "a write keeps the other values");
  }

  // Writing the same value again, each time through a fresh open, settles.
  TRegFileStore second(path);
  Perform(second, write);
  const QByteArray settled = ReadFile(path);
  TRegFileStore third(path);
  Perform(third, write);
  Check(ReadFile(path) == settled, "writing the same value again leaves the file as it is");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  FuzzedDataProvider input(data, size);
  const TWrite write = WriteFrom(input);
  const QByteArray bytes = QByteArray::fromStdString(input.ConsumeRemainingBytesAsString());
  const QString path = FreshFile(bytes);

  TRegFileStore store(path);
  if (Loads(store))
    CheckRoundTrip(store, write, path);
  else
    CheckUnloadedFileIsKept(store, write, path, bytes);
  return 0;
}
