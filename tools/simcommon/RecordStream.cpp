#include "RecordStream.h"

#include <algorithm>

namespace {

constexpr size_t IndexDigits = 12;
const char Hex[] = "0123456789abcdef";
// Junk between two records is at most the head of one and the tail of another.
constexpr size_t MaxJunk = 2 * (RecordSize - 1);

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

// The index of the record that starts at `at`, or -1 when none does.
int64_t RecordAt(std::string_view bytes, size_t at) {
  if (bytes[at] != '#' || bytes.substr(at + 1 + IndexDigits, 3) != "|~\n")
    return -1;
  int64_t index = 0;
  for (size_t i = 1; i <= IndexDigits; ++i) {
    const int digit = HexValue(bytes[at + i]);
    if (digit < 0)
      return -1;
    index = index * 16 + digit;
  }
  return index;
}

std::string RecordText(uint64_t index) {
  std::string text;
  for (size_t i = 0; i < RecordSize; ++i)
    text += RecordByte(index * RecordSize + i);
  return text;
}

} // namespace

char RecordByte(uint64_t offset) {
  const uint64_t index = offset / RecordSize;
  const size_t at = offset % RecordSize;
  if (at == 0)
    return '#';
  if (at <= IndexDigits)
    return Hex[(index >> (4 * (IndexDigits - at))) & 0xf];
  return "|~\n"[at - IndexDigits - 1];
}

void TRecordCheck::MarkBreak() {
  FHead += FPending;
  FPending.clear();
  FBreakPending = true;
}

void TRecordCheck::Feed(std::string_view bytes) {
  FPending.append(bytes);
  size_t from = 0;
  for (;;) {
    const size_t hash = FPending.find('#', from);
    if (hash == std::string::npos || FPending.size() - hash < RecordSize)
      break;
    const int64_t index = RecordAt(FPending, hash);
    if (index < 0) {
      from = hash + 1;
      continue;
    }
    Found(static_cast<uint64_t>(index), FHead + FPending.substr(0, hash));
    FHead.clear();
    FPending.erase(0, hash + RecordSize);
    from = 0;
  }
  // Junk that no record can follow any more is corrupt for good.
  if (FHead.size() + FPending.size() > MaxJunk + RecordSize) {
    FCounts.corrupt += FHead.size() + FPending.size() - RecordSize;
    FHead.clear();
    FPending.erase(0, FPending.size() - std::min(FPending.size(), RecordSize));
  }
}

void TRecordCheck::Found(uint64_t index, std::string junk) {
  if (FCandidate) {
    TCandidate candidate = std::move(*FCandidate);
    FCandidate.reset();
    if (index == candidate.index + 1 && junk.empty())
      Count(candidate.index, candidate.junk);
    else
      junk = candidate.junk + RecordText(candidate.index) + junk; // it was made of two records' pieces
  }
  if (index * RecordSize == FNext && junk.empty())
    Count(index, junk);
  else
    FCandidate = TCandidate{index, std::move(junk)};
}

// `junk` stood between the last record counted and record `index`.
void TRecordCheck::Count(uint64_t index, const std::string &junk) {
  const uint64_t start = index * RecordSize;
  if (start < FNext) {
    ++FCounts.duplicates;
    FLastDuplicate = index;
    FLastDuplicateReached = FNext;
    FCounts.corrupt += junk.size();
    return;
  }
  const uint64_t missing = start - FNext;
  const bool fits = JunkFits(index, junk);
  if (!fits)
    FCounts.corrupt += junk.size();
  const uint64_t lost = missing - std::min<uint64_t>(junk.size(), missing);
  // A record split across a marked cut has come whole: nothing is missing.
  if (missing > 0 && fits && lost == 0)
    FCounts.records += missing / RecordSize;
  else if (missing > 0) {
    ++FCounts.gaps;
    FCounts.lostBytes += lost;
    FLastGapAt = FNext;
    FLastGapResumed = index;
    if (FBreakPending) {
      ++FBreakGaps;
      FBreakLost += lost;
    }
  }
  ++FCounts.records;
  FNext = start + RecordSize;
  FBreakPending = false;
}

// Junk is a head of the record expected next and a tail of the one before
// `index`, or nothing when nothing is missing.
bool TRecordCheck::JunkFits(uint64_t index, std::string_view junk) const {
  const uint64_t start = index * RecordSize;
  if (junk.empty())
    return true;
  if (start <= FNext || junk.size() > start - FNext)
    return false;
  if (junk.size() == start - FNext) {
    for (size_t i = 0; i < junk.size(); ++i)
      if (junk[i] != RecordByte(FNext + i))
        return false;
    return true;
  }
  for (size_t head = 0; head <= junk.size(); ++head) {
    const size_t tail = junk.size() - head;
    if (head >= RecordSize || tail >= RecordSize)
      continue;
    bool fits = true;
    for (size_t i = 0; i < head && fits; ++i)
      fits = junk[i] == RecordByte(FNext + i);
    for (size_t i = 0; i < tail && fits; ++i)
      fits = junk[head + i] == RecordByte(start - tail + i);
    if (fits)
      return true;
  }
  return false;
}
