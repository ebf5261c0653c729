#include "core/RelayPacing.h"

#include <algorithm>

namespace {

constexpr uint32_t kMinGapMs = 2;
// 3.5 characters of 11 bits: start, 8 data, parity, stop, counted generously.
constexpr uint64_t kGapBitsTimesTwo = 7 * 11;

} // namespace

uint32_t TRelayPacing::LineGapMs(int32_t baudRate) {
  if (baudRate <= 0)
    return kMinGapMs;
  const uint64_t bitsPerSecondTimesTwo = 2 * static_cast<uint64_t>(baudRate);
  const uint64_t gap = (kGapBitsTimesTwo * 1000 + bitsPerSecondTimesTwo - 1) / bitsPerSecondTimesTwo;
  return std::max<uint32_t>(kMinGapMs, static_cast<uint32_t>(gap));
}

void TRelayPacing::Configure(bool fixedPacing, int32_t baudRate) {
  FFixed = fixedPacing;
  FGapMs = LineGapMs(baudRate);
  FLastArrival.reset();
}

void TRelayPacing::DeviceBytesArrived(uint32_t tick) { FLastArrival = tick; }

bool TRelayPacing::DeviceChunkDue(uint32_t now, int32_t collected, int32_t capacity) const {
  if (FFixed || collected <= 0)
    return false;
  // Ticks are whole milliseconds: a quiet of more than the gap in ticks is at
  // least the gap in time.
  return collected >= capacity || (FLastArrival && now - *FLastArrival > FGapMs);
}

std::optional<uint32_t> TRelayPacing::MsUntilDeviceChunkDue(uint32_t now) const {
  if (FFixed || !FLastArrival)
    return std::nullopt;
  const uint32_t quiet = now - *FLastArrival;
  return quiet > FGapMs ? 0 : FGapMs + 1 - quiet;
}
