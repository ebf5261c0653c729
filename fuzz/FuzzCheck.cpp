#include "FuzzCheck.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Every character outside printable ASCII as \uXXXX, so that the report
// shows blanks, line breaks and lone surrogates.
QString Shown(const QString &text)
{
  QString shown;
  for (const QChar c : text) {
    if (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'\\')
      shown += c;
    else
      shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
  }
  return shown;
}

[[noreturn]] void Fail(const char *what, const QString &detail)
{
  std::fprintf(stderr, "Check failed: %s\n%s", what, qUtf8Printable(detail));
  std::fflush(stderr);
  std::abort();
}

} // namespace

void Check(bool holds, const char *what)
{
  if (!holds)
    Fail(what, QString());
}

void CheckEqual(const QString &actual, const QString &expected, const char *what)
{
  if (actual != expected)
    Fail(what, QStringLiteral("  actual:   \"%1\"\n  expected: \"%2\"\n").arg(Shown(actual), Shown(expected)));
}
