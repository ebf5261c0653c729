// The relay's hang-up scan in a modem connection: every chunk read from the
// port is decoded as the relay decodes it and scanned for the modem's result
// codes. A result code is ASCII, so the scan finds one exactly where the
// chunk's bytes spell it, in any letter case, and nowhere else.
//
// Input: relayed bytes, cut into chunks of the transfer buffer's size.

#include "core/Relay.h"
#include "serial/RingThread.h"

#include "FuzzCheck.h"

#include <QByteArrayView>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace {

// In the order the scan looks for them.
constexpr std::array<std::pair<std::string_view, uint32_t>, 4> kResultCodes{{
    {"BUSY", RING_BUSY},
    {"NO CARRIER", RING_NO_CARRIER},
    {"NO DIALTONE", RING_NO_DIALTONE},
    {"NO ANSWER", RING_NO_ANSWER},
}};

char AsciiUpper(char c)
{
  return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool SpellsIgnoringCase(QByteArrayView bytes, std::string_view word)
{
  return std::search(bytes.begin(), bytes.end(), word.begin(), word.end(),
                     [](char byte, char letter) { return AsciiUpper(byte) == letter; }) != bytes.end();
}

uint32_t CodeSpelledIn(QByteArrayView chunk)
{
  for (const auto &[word, code] : kResultCodes) {
    if (SpellsIgnoringCase(chunk, word))
      return code;
  }
  return RING_CONNECTED;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const QByteArrayView relayed(data, qsizetype(size));
  for (qsizetype at = 0; at < relayed.size(); at += TRelay::kDataBufferSize) {
    const QByteArrayView chunk = relayed.sliced(at, std::min<qsizetype>(TRelay::kDataBufferSize, relayed.size() - at));
    const uint32_t found = ModemErrorCode(QString::fromLocal8Bit(chunk));
    CheckEqual(QString::number(found), QString::number(CodeSpelledIn(chunk)),
               "the scan finds the result code that the chunk's bytes spell");
  }
  return 0;
}
