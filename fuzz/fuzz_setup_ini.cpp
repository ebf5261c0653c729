// The launcher's choice of a setup program: the device key derived from an
// identification reply, then looked up in setup.ini, in any encoding.
//
// Input: the reply, an end mark (a backslash and any byte but a backslash;
// two backslashes stand for one), then the bytes of setup.ini.

#include "core/SetupLauncher.h"

#include "FuzzCheck.h"

#include <QStringEncoder>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

namespace {

constexpr size_t kMaxReplySize = 4096;
const QString kMarker = QStringLiteral("fuzz-marker");

// A key is what lies between its item's start and the item's first full stop.
bool MayBeInKey(QChar c)
{
  return c.unicode() > 32 && c != u'"' && c != u',' && c != u'.';
}

void CheckKey(const QString &key, const QByteArray &reply)
{
  Check(std::all_of(key.begin(), key.end(), MayBeInKey), "the key holds no blank, quote, comma or full stop");
  if (key.isEmpty())
    return;
  QString text = QString::fromLocal8Bit(reply);
  text.remove(u'"');
  Check(text.contains(key + u'.'), "the key comes from the reply, followed by a full stop");
}

// `lines` put first into `ini`, after its byte-order mark, in its encoding.
QByteArray WithLinesFirst(const QByteArray &ini, const QString &lines)
{
  static const struct {
    const char *bom;
    QStringConverter::Encoding encoding;
  } kMarks[] = {{"\xEF\xBB\xBF", QStringConverter::Utf8},
                {"\xFF\xFE", QStringConverter::Utf16LE},
                {"\xFE\xFF", QStringConverter::Utf16BE}};
  for (const auto &[bom, encoding] : kMarks) {
    if (ini.startsWith(bom)) {
      const qsizetype size = qsizetype(qstrlen(bom));
      QStringEncoder encoder(encoding);
      return ini.first(size) + QByteArray(encoder(lines)) + ini.sliced(size);
    }
  }
  return lines.toLocal8Bit() + ini;
}

void CheckValue(const QString &value)
{
  Check(!value.contains(u'\r') && !value.contains(u'\n'), "a value ends at its line's end");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  FuzzedDataProvider input(data, size);
  const QByteArray reply = QByteArray::fromStdString(input.ConsumeRandomLengthString(kMaxReplySize));
  const QByteArray ini = QByteArray::fromStdString(input.ConsumeRemainingBytesAsString());

  const QString key = DeviceKeyFromVerInfo(reply);
  CheckKey(key, reply);
  const QString value = LookupSetupIni(ini, key);
  CheckValue(value);
  if (key.isNull()) {
    Check(value.isEmpty(), "a reply without a key finds no setup program");
    return 0;
  }

  // A line for the key before all others wins, whatever follows it. The
  // section header first keeps the line from reading as a byte-order mark.
  const QByteArray keyFirst = WithLinesFirst(ini, QStringLiteral("[fuzz]\r\n%1=%2\r\n").arg(key, kMarker));
  const QString found = LookupSetupIni(keyFirst, key);
  // A name ends at the line's first equals sign, so such a key matches no line.
  CheckEqual(found, key.contains(u'=') ? QString() : kMarker, "the first line for the key wins");
  return 0;
}
