// The log writer's line split: relayed bytes decoded as the writer decodes
// them become one entry per line. Put back together with one break each, the
// entries give the text again with its CR LF, CR and LF all as one break.
//
// Input: the text's bytes.

#include "serial/RingThread.h"

#include "FuzzCheck.h"

#include <QByteArrayView>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const QString text = QString::fromLocal8Bit(QByteArrayView(data, qsizetype(size)));
  const QStringList lines = SplitLogLines(text);
  if (!text.contains(u'\r')) {
    Check(lines == QStringList{text}, "a text without CR is one entry as it stands");
    return 0;
  }
  for (const QString &line : lines)
    Check(!line.contains(u'\r') && !line.contains(u'\n'), "an entry holds no line break");

  QString breaksAsLf = text;
  breaksAsLf.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  breaksAsLf.replace(u'\r', u'\n');
  // A break at the very end opens no entry of its own.
  const QString joined = lines.join(u'\n') + (breaksAsLf.endsWith(u'\n') ? QStringLiteral("\n") : QString());
  CheckEqual(joined, breaksAsLf, "the entries joined by breaks give the text");
  return 0;
}
