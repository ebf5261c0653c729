#include "core/RegFileStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringConverter>
#include <QStringList>
#include <QtEndian>

#include <algorithm>
#include <optional>
#include <type_traits>

namespace {

const QString kHeader = QStringLiteral("Windows Registry Editor Version 5.00");
const QString kKeyPath = QStringLiteral("HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel");

// Registry value types as they appear in hex(N): data.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// Raised inside the parser with the 1-based number of the line it cannot read.
struct TParseFailure {
  int line;
};

} // namespace

struct TRegValue {
  QString name;
  uint32_t type;
  QByteArray data;
};

// One item of the settings key in file order: a value with the lines that
// hold it, or a line kept as it stands (blank, comment).
struct TRegEntry {
  QStringList lines;
  std::optional<TRegValue> value;
};

// The lines from one key line to the next. Other keys keep all their lines
// verbatim; the settings key keeps its key line and parses what follows.
struct TRegSection {
  QStringList lines;
  bool isSettingsKey = false;
  QList<TRegEntry> entries;
};

struct TRegDocument {
  QString eol = QStringLiteral("\r\n");
  // The first section holds the header line.
  QList<TRegSection> sections{TRegSection{QStringList{kHeader}, false, {}}};

  // Later values win over earlier ones of the same name, as on import.
  const TRegValue *Find(const QString &name) const;
  bool HasSettingsKey() const;
  void AddSettingsKey();
  // Replaces the value of the same name where it stands, else appends it
  // after the last value of the key.
  void Put(const TRegEntry &entry);
  QString ToText() const;

private:
  void EndWithBlankLine();
};

namespace {

bool IsBlankOrComment(const QString &line)
{
  const QString trimmed = line.trimmed();
  return trimmed.isEmpty() || trimmed.startsWith(u';');
}

bool IsBlank(const TRegEntry &entry)
{
  return !entry.value && entry.lines.join(QString()).trimmed().isEmpty();
}

bool SameName(const QString &a, const QString &b)
{
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool IsHexDigits(QStringView text)
{
  return std::all_of(text.begin(), text.end(), [](QChar c) {
    return (c >= u'0' && c <= u'9') || (c.toLower() >= u'a' && c.toLower() <= u'f');
  });
}

// REG_SZ data: UTF-16LE with the terminating NUL counted.
QByteArray Utf16Data(const QString &text)
{
  QByteArray data((text.size() + 1) * 2, '\0');
  for (qsizetype i = 0; i < text.size(); ++i)
    qToLittleEndian<char16_t>(text[i].unicode(), data.data() + 2 * i);
  return data;
}

// String data up to its first NUL; an odd last byte is no character.
QString TextUpToNul(const QByteArray &data)
{
  QString text;
  for (qsizetype i = 0; i + 1 < data.size(); i += 2) {
    const char16_t unit = qFromLittleEndian<char16_t>(data.constData() + i);
    if (unit == 0)
      break;
    text.append(QChar(unit));
  }
  return text;
}

QByteArray DwordData(uint32_t number)
{
  QByteArray data(4, '\0');
  qToLittleEndian(number, data.data());
  return data;
}

QString Quoted(QString text)
{
  text.replace(u'\\', QStringLiteral("\\\\"));
  text.replace(u'"', QStringLiteral("\\\""));
  return u'"' + text + u'"';
}

QString HexList(const QByteArray &data)
{
  QStringList bytes;
  for (const char byte : data)
    bytes.append(QStringLiteral("%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0')));
  return bytes.join(u',');
}

// Text that a quoted .reg string cannot carry: line breaks, NULs, broken UTF-16.
bool NeedsHexForm(const QString &text)
{
  return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0)) || !text.isValidUtf16();
}

TRegEntry StringEntry(const QString &name, const QString &text)
{
  TRegValue value{name, kRegSz, Utf16Data(text)};
  const QString data = NeedsHexForm(text) ? QStringLiteral("hex(1):") + HexList(value.data) : Quoted(text);
  return TRegEntry{{Quoted(name) + u'=' + data}, value};
}

TRegEntry DwordEntry(const QString &name, int32_t number)
{
  const auto bits = static_cast<uint32_t>(number);
  TRegValue value{name, kRegDword, DwordData(bits)};
  return TRegEntry{{Quoted(name) + QStringLiteral("=dword:%1").arg(bits, 8, 16, QLatin1Char('0'))}, value};
}

// Reads one value line from left to right.
class TLineCursor {
public:
  explicit TLineCursor(QStringView text) : FText(text) {}

  bool AtEnd() const { return FPos >= FText.size(); }
  QStringView Rest() const { return FText.sliced(FPos); }
  void SkipSpaces()
  {
    while (!AtEnd() && FText[FPos].isSpace())
      ++FPos;
  }
  bool Take(QChar c)
  {
    if (AtEnd() || FText[FPos] != c)
      return false;
    ++FPos;
    return true;
  }
  bool TakeWord(QStringView word)
  {
    if (!Rest().startsWith(word, Qt::CaseInsensitive))
      return false;
    FPos += word.size();
    return true;
  }
  // The text before `end`, consuming `end` too.
  std::optional<QStringView> TakeUntil(QChar end)
  {
    const qsizetype at = FText.indexOf(end, FPos);
    if (at < 0)
      return std::nullopt;
    const QStringView taken = FText.sliced(FPos, at - FPos);
    FPos = at + 1;
    return taken;
  }
  // A quoted string with the escapes \\ and \".
  std::optional<QString> TakeQuoted()
  {
    if (!Take(u'"'))
      return std::nullopt;
    QString text;
    while (!AtEnd()) {
      QChar c = FText[FPos++];
      if (c == u'"')
        return text;
      if (c == u'\\') {
        if (AtEnd() || (FText[FPos] != u'\\' && FText[FPos] != u'"'))
          return std::nullopt;
        c = FText[FPos++];
      }
      text.append(c);
    }
    return std::nullopt;
  }

private:
  QStringView FText;
  qsizetype FPos = 0;
};

class TRegParser {
public:
  explicit TRegParser(QStringList lines) : FLines(std::move(lines)) {}

  QList<TRegSection> Parse()
  {
    if (FLines.isEmpty() || FLines[0].trimmed() != kHeader)
      Fail();
    QList<TRegSection> sections{TRegSection{{FLines[0]}, false, {}}};
    for (FLine = 1; FLine < FLines.size(); ++FLine) {
      const QString &line = FLines[FLine];
      TRegSection &current = sections.last();
      if (line.trimmed().startsWith(u'['))
        sections.append(ParseKeyLine(line));
      else if (current.isSettingsKey)
        current.entries.append(IsBlankOrComment(line) ? TRegEntry{{line}, std::nullopt} : ParseValue());
      else if (sections.size() > 1 || IsBlankOrComment(line))
        current.lines.append(line);
      else
        Fail();
    }
    return sections;
  }

private:
  [[noreturn]] void Fail() const { throw TParseFailure{int(FLine) + 1}; }

  TRegSection ParseKeyLine(const QString &line) const
  {
    const QString trimmed = line.trimmed();
    if (!trimmed.endsWith(u']'))
      Fail();
    QString path = trimmed.sliced(1, trimmed.size() - 2);
    if (path.endsWith(u'\\'))
      path.chop(1);
    return TRegSection{{line}, SameName(path, kKeyPath), {}};
  }

  TRegEntry ParseValue()
  {
    const qsizetype first = FLine;
    TLineCursor cursor(FLines[FLine]);
    TRegValue value;
    if (!cursor.Take(u'@')) {
      const std::optional<QString> name = cursor.TakeQuoted();
      if (!name)
        Fail();
      value.name = *name;
    }
    cursor.SkipSpaces();
    if (!cursor.Take(u'='))
      Fail();
    cursor.SkipSpaces();
    if (cursor.Rest().startsWith(u'"')) {
      const std::optional<QString> text = cursor.TakeQuoted();
      cursor.SkipSpaces();
      if (!text || !cursor.AtEnd())
        Fail();
      value.type = kRegSz;
      value.data = Utf16Data(*text);
    } else if (cursor.TakeWord(u"dword:")) {
      value.type = kRegDword;
      value.data = DwordData(ParseHexNumber(cursor.Rest().trimmed()));
    } else if (cursor.TakeWord(u"hex")) {
      value.type = ParseHexType(cursor);
      value.data = ParseHexBytes(cursor.Rest());
    } else {
      Fail();
    }
    return TRegEntry{FLines.mid(first, FLine - first + 1), value};
  }

  uint32_t ParseHexNumber(QStringView digits) const
  {
    if (digits.isEmpty() || digits.size() > 8 || !IsHexDigits(digits))
      Fail();
    return digits.toUInt(nullptr, 16);
  }

  // "hex:" is binary data, "hex(N):" data of type N.
  uint32_t ParseHexType(TLineCursor &cursor) const
  {
    uint32_t type = kRegBinary;
    if (cursor.Take(u'(')) {
      const std::optional<QStringView> digits = cursor.TakeUntil(u')');
      if (!digits)
        Fail();
      type = ParseHexNumber(*digits);
    }
    if (!cursor.Take(u':'))
      Fail();
    return type;
  }

  // Comma-separated bytes; a trailing backslash continues them on the next line.
  QByteArray ParseHexBytes(QStringView firstPart)
  {
    QString list = firstPart.trimmed().toString();
    while (list.endsWith(u'\\')) {
      if (FLine + 1 >= FLines.size())
        Fail();
      list.chop(1);
      list += FLines[++FLine].trimmed();
    }
    QByteArray bytes;
    if (list.isEmpty())
      return bytes;
    for (QStringView item : QStringView(list).split(u',')) {
      item = item.trimmed();
      if (item.isEmpty() || item.size() > 2 || !IsHexDigits(item))
        Fail();
      bytes.append(char(item.toUInt(nullptr, 16)));
    }
    return bytes;
  }

  QStringList FLines;
  qsizetype FLine = 0;
};

// The last value of that name in the settings key, const or not as `document`.
template <typename Document>
auto *LastEntryNamed(Document &document, const QString &name)
{
  using Entry = std::conditional_t<std::is_const_v<Document>, const TRegEntry, TRegEntry>;
  Entry *found = nullptr;
  for (auto &section : document.sections) {
    if (!section.isSettingsKey)
      continue;
    for (Entry &entry : section.entries) {
      if (entry.value && SameName(entry.value->name, name))
        found = &entry;
    }
  }
  return found;
}

QString LineBreakOf(const QString &text)
{
  const qsizetype lf = text.indexOf(u'\n');
  return lf > 0 && text[lf - 1] == u'\r' ? QStringLiteral("\r\n") : QStringLiteral("\n");
}

// Where the decoded text first holds a NUL (a byte sequence that is no text)
// or a lone surrogate, which a UTF-16 file can hold and the UTF-8 rewrite
// could not keep; -1 when it holds neither.
qsizetype FirstNonText(const QString &text)
{
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
      ++i;
    else if (text[i].isNull() || text[i].isSurrogate())
      return i;
  }
  return -1;
}

// The file's text; a byte sequence that is no valid text (or a NUL) is a
// parse failure on its line.
QString DecodeText(const QByteArray &bytes)
{
  const QStringConverter::Encoding encoding =
      QStringConverter::encodingForData(bytes, kHeader[0].unicode()).value_or(QStringConverter::Utf8);
  QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInvalidToNull);
  const QString text = decoder.decode(bytes);
  const qsizetype invalid = FirstNonText(text);
  if (invalid >= 0)
    throw TParseFailure{int(text.first(invalid).count(u'\n')) + 1};
  return text;
}

QStringList SplitLines(const QString &text)
{
  QStringList lines = text.split(u'\n');
  if (lines.size() > 1 && lines.last().isEmpty())
    lines.removeLast(); // the break that ends the last line
  for (QString &line : lines) {
    if (line.endsWith(u'\r'))
      line.chop(1);
  }
  return lines;
}

TRegDocument ParseDocument(const QByteArray &bytes)
{
  const QString text = DecodeText(bytes);
  TRegDocument document;
  document.eol = LineBreakOf(text);
  document.sections = TRegParser(SplitLines(text)).Parse();
  return document;
}

bool MakeFolder(const QString &folder)
{
  if (QFileInfo(folder).isDir())
    return true;
  // Only this user may read the settings: the phone numbers are among them.
  const QDir dir;
  return dir.mkpath(QFileInfo(folder).absolutePath()) &&
         dir.mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Replaces the file through a temporary file in its folder (flushed, synced,
// renamed), so the old contents stay whole until the new ones are on disk.
bool SaveDocument(const QString &path, const TRegDocument &document)
{
  if (!MakeFolder(QFileInfo(path).absolutePath()))
    return false;
  QSaveFile file(path);
  // Unbuffered: a failure in a buffered flush (a full disk) would not keep
  // commit() from replacing the old file with a truncated one.
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
    return false;
  const QByteArray bytes = document.ToText().toUtf8();
  return file.write(bytes) == bytes.size() && file.commit();
}

} // namespace

const TRegValue *TRegDocument::Find(const QString &name) const
{
  const TRegEntry *entry = LastEntryNamed(*this, name);
  return entry ? &*entry->value : nullptr;
}

bool TRegDocument::HasSettingsKey() const
{
  return std::any_of(sections.begin(), sections.end(), [](const TRegSection &s) { return s.isSettingsKey; });
}

void TRegDocument::AddSettingsKey()
{
  EndWithBlankLine();
  sections.append(TRegSection{{u'[' + kKeyPath + u']'}, true, {TRegEntry{{QString()}, std::nullopt}}});
}

void TRegDocument::EndWithBlankLine()
{
  TRegSection &last = sections.last();
  const QString lastLine = last.entries.isEmpty() ? last.lines.last() : last.entries.last().lines.last();
  if (lastLine.trimmed().isEmpty())
    return;
  if (last.isSettingsKey)
    last.entries.append(TRegEntry{{QString()}, std::nullopt});
  else
    last.lines.append(QString());
}

void TRegDocument::Put(const TRegEntry &entry)
{
  if (TRegEntry *existing = LastEntryNamed(*this, entry.value->name)) {
    *existing = entry;
    return;
  }
  if (!HasSettingsKey())
    AddSettingsKey();
  const auto key = std::find_if(sections.rbegin(), sections.rend(), [](const TRegSection &s) { return s.isSettingsKey; });
  QList<TRegEntry> &entries = key->entries;
  const auto afterLastValue = std::find_if_not(entries.rbegin(), entries.rend(), IsBlank).base();
  entries.insert(afterLastValue, entry);
}

QString TRegDocument::ToText() const
{
  QStringList lines;
  for (const TRegSection &section : sections) {
    lines += section.lines;
    for (const TRegEntry &entry : section.entries)
      lines += entry.lines;
  }
  return lines.join(eol) + eol;
}

TRegFileStore::TRegFileStore(const QString &path) : FPath(path), FDocument(std::make_unique<TRegDocument>())
{
  Load();
  if (FState == TState::Loaded && !FDocument->HasSettingsKey()) {
    FDocument->AddSettingsKey();
    // If this fails, the first write fails the same way and reports it.
    SaveDocument(FPath, *FDocument);
  }
}

TRegFileStore::~TRegFileStore() = default;

void TRegFileStore::Load()
{
  QFile file(FPath);
  if (!file.exists())
    return; // created by the constructor
  if (!file.open(QIODevice::ReadOnly)) {
    FState = TState::Unreadable;
    return;
  }
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    FState = TState::Unreadable;
    return;
  }
  if (bytes.isEmpty())
    return; // holds nothing that a rewrite could lose
  try {
    *FDocument = ParseDocument(bytes);
  } catch (const TParseFailure &failure) {
    FState = TState::Corrupt;
    FCorruptLine = failure.line;
  }
}

const TRegValue *TRegFileStore::Find(const std::u16string &name) const
{
  switch (FState) {
  case TState::Corrupt:
    throw TRegistryError(QStringLiteral("Файл настроек %1 повреждён (строка %2)")
                             .arg(QDir::toNativeSeparators(FPath))
                             .arg(FCorruptLine)
                             .toStdString());
  case TState::Unreadable:
    return nullptr;
  case TState::Loaded:
    break;
  }
  // QStringView keeps the code units as they are: QString::fromStdU16String
  // takes a leading U+FEFF or U+FFFE for a byte-order mark.
  return FDocument->Find(QStringView(name).toString());
}

bool TRegFileStore::ValueExists(const std::u16string &name) const
{
  return Find(name) != nullptr;
}

std::u16string TRegFileStore::ReadString(const std::u16string &name) const
{
  const TRegValue *value = Find(name);
  if (!value)
    throw GetDataError(name);
  if (value->type != kRegSz && value->type != kRegExpandSz)
    throw InvalidDataTypeError(name);
  return TextUpToNul(value->data).toStdU16String();
}

int32_t TRegFileStore::ReadInteger(const std::u16string &name) const
{
  const TRegValue *value = Find(name);
  // Data too long for the 4-byte buffer is refused before its type is looked at.
  if (!value || value->data.size() > 4)
    throw GetDataError(name);
  if (value->type != kRegDword)
    throw InvalidDataTypeError(name);
  if (value->data.size() != 4)
    throw GetDataError(name);
  return qFromLittleEndian<int32_t>(value->data.constData());
}

void TRegFileStore::WriteString(const std::u16string &name, const std::u16string &value)
{
  Write(StringEntry(QStringView(name).toString(), QStringView(value).toString()));
}

void TRegFileStore::WriteInteger(const std::u16string &name, int32_t value)
{
  Write(DwordEntry(QStringView(name).toString(), value));
}

void TRegFileStore::Write(const TRegEntry &entry)
{
  const std::u16string name = entry.value->name.toStdU16String();
  // A file that could not be read or parsed is never replaced: its values
  // would be lost. A name must fit on its line.
  if (FState != TState::Loaded || NeedsHexForm(entry.value->name))
    throw SetDataError(name);
  TRegDocument changed = *FDocument;
  changed.Put(entry);
  if (!SaveDocument(FPath, changed))
    throw SetDataError(name);
  *FDocument = std::move(changed);
}
