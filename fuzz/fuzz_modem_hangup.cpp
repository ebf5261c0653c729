// The relay's hang-up scan in a modem connection: the call's data, read in
// chunks, is scanned for the modem's result lines. Each chunk must tell the
// code of the first result word (in BUSY, NO CARRIER, NO DIALTONE, NO ANSWER
// order) whose line ends, with its CR, inside that chunk, as a scan of the
// whole data at once finds it, wherever the reads cut the data.
//
// Input: the first byte sets the chunk size (1 to 64); the rest is the data.

#include "core/ModemResultLines.h"
#include "serial/RingThread.h"

#include "FuzzCheck.h"

#include <QByteArrayView>

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

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// Whether `word` stands as a line at `at` of the whole data.
bool LineAt(QByteArrayView data, qsizetype at, std::string_view word) {
  const qsizetype end = at + qsizetype(word.size());
  if (end >= data.size() || data[end] != '\r')
    return false;
  if (at > 0 && data[at - 1] != '\r' && data[at - 1] != '\n')
    return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (AsciiUpper(data[at + qsizetype(i)]) != word[i])
      return false;
  }
  return true;
}

// The code told for the chunk [from, to) of the whole data.
uint32_t CodeOfChunk(QByteArrayView data, qsizetype from, qsizetype to) {
  for (const auto &[word, code] : kResultCodes) {
    const qsizetype length = qsizetype(word.size());
    for (qsizetype cr = std::max(from, length); cr < to; ++cr) {
      if (LineAt(data, cr - length, word))
        return code;
    }
  }
  return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
  if (size == 0)
    return 0;
  const qsizetype chunkSize = 1 + input[0] % 64;
  const QByteArrayView data(input + 1, qsizetype(size - 1));
  TModemResultLines lines;
  for (qsizetype at = 0; at < data.size(); at += chunkSize) {
    const qsizetype to = std::min(data.size(), at + chunkSize);
    const uint32_t told = lines.Scan(data.sliced(at, to - at));
    CheckEqual(QString::number(told), QString::number(CodeOfChunk(data, at, to)),
               "a chunk tells the first result word whose line it ends");
  }
  return 0;
}
