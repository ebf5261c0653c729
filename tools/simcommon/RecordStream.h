#pragma once
// A numbered record stream: every 16-byte record carries its own index, so a
// receiver can tell exactly how many bytes a gap took and spot a record that
// comes twice or out of order, which a repeating pattern cannot.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Record k is "#" + k in 12 lower-case hex digits + "|~\n"; '#' occurs nowhere
// else, so a receiver finds the next record after a gap.
constexpr size_t RecordSize = 16;

// Byte `offset` of the stream (record offset / 16, its byte offset % 16).
char RecordByte(uint64_t offset);

struct TRecordCounts {
  uint64_t records = 0;    // whole records taken in order
  uint64_t gaps = 0;       // places where bytes went missing
  uint64_t lostBytes = 0;  // bytes those gaps took
  uint64_t duplicates = 0; // records at or before one already taken (twice, or out of order)
  uint64_t corrupt = 0;    // bytes that belong to no record where they stand
};

// The head of one record and the tail of another, met at a gap, can look
// like a whole record; so a record that does not continue the stream counts
// only once the record after it continues from it.
class TRecordCheck {
public:
  void Feed(std::string_view bytes);
  // The stream was cut on purpose (the client reconnected, the cable was
  // pulled): no record is made of bytes from both sides of the cut, and the
  // next gap, if it comes before the next record, is that cut's.
  void MarkBreak();

  const TRecordCounts &Counts() const { return FCounts; }
  // Gaps at a marked break, and the bytes they took; the others are in
  // Counts() only.
  uint64_t BreakGaps() const { return FBreakGaps; }
  uint64_t BreakLostBytes() const { return FBreakLost; }
  // Whether a record has counted since the last MarkBreak().
  bool SawRecordSinceBreak() const { return !FBreakPending; }
  // The byte offset just after the last record counted.
  uint64_t NextOffset() const { return FNext; }
  // The last gap: the offset of its first missing byte (bar the partial
  // records around it) and the index of the record after it.
  uint64_t LastGapAt() const { return FLastGapAt; }
  uint64_t LastGapResumedAt() const { return FLastGapResumed; }
  // The last record that came twice or out of order, and the offset the
  // stream had reached then.
  uint64_t LastDuplicate() const { return FLastDuplicate; }
  uint64_t LastDuplicateReached() const { return FLastDuplicateReached; }

private:
  void Found(uint64_t index, std::string junk);
  void Count(uint64_t index, const std::string &junk);
  bool JunkFits(uint64_t index, std::string_view junk) const;

  struct TCandidate {
    uint64_t index;
    std::string junk; // what stood between the last counted record and it
  };
  std::string FHead;    // bytes after the last record, before a marked break
  std::string FPending; // bytes after the last record (or the break)
  std::optional<TCandidate> FCandidate;
  uint64_t FNext = 0; // byte offset just after the last record counted
  bool FBreakPending = false;
  uint64_t FBreakGaps = 0;
  uint64_t FBreakLost = 0;
  uint64_t FLastGapAt = 0;
  uint64_t FLastGapResumed = 0;
  uint64_t FLastDuplicate = 0;
  uint64_t FLastDuplicateReached = 0;
  TRecordCounts FCounts;
};
