#include "core/ModemResultLines.h"

#include "serial/RingThread.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr std::array<std::pair<std::string_view, uint32_t>, 4> kResultCodes{{
    {"BUSY", RING_BUSY},
    {"NO CARRIER", RING_NO_CARRIER},
    {"NO DIALTONE", RING_NO_DIALTONE},
    {"NO ANSWER", RING_NO_ANSWER},
}};
// The longest word and the line break before it.
constexpr qsizetype kLineReach = 12;

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// Whether a line of `word` ends (with its CR) at or after `newFrom`: one
// that ended before was told with the chunk that ended it.
bool HoldsResultLine(const QByteArray &data, qsizetype newFrom, std::string_view word) {
  const auto sameLetter = [](char byte, char letter) { return AsciiUpper(byte) == letter; };
  for (auto at = data.begin() + 1; at != data.end(); ++at) {
    at = std::search(at, data.end(), word.begin(), word.end(), sameLetter);
    if (at == data.end())
      return false;
    const auto after = at + qsizetype(word.size());
    if (IsLineBreak(*(at - 1)) && after != data.end() && *after == '\r' && after - data.begin() >= newFrom)
      return true;
  }
  return false;
}

} // namespace

void TModemResultLines::Reset() {
  FBefore.clear();
  FStarted = false;
}

uint32_t TModemResultLines::Scan(QByteArrayView chunk) {
  // The start of the call's data counts as the start of a line.
  QByteArray data = FStarted ? FBefore : QByteArray("\n");
  const qsizetype newFrom = data.size();
  data.append(chunk);
  FStarted = true;
  FBefore = data.right(kLineReach);
  for (const auto &[word, code] : kResultCodes) {
    if (HoldsResultLine(data, newFrom, word))
      return code;
  }
  return 0;
}
