#include "core/RelayPacing.h"

#include <algorithm>

namespace {

constexpr uint32_t kMinGapUs = 1000;
// 3.5 characters of 11 bits: start, 8 data, parity, stop, counted generously.
constexpr uint64_t kGapBitsTimesTwo = 7 * 11;

} // namespace

uint32_t TRelayPacing::LineGapUs(int32_t baudRate) {
  if (baudRate <= 0)
    return kMinGapUs;
  const uint64_t bitsPerSecondTimesTwo = 2 * static_cast<uint64_t>(baudRate);
  const uint64_t gap = (kGapBitsTimesTwo * 1000000 + bitsPerSecondTimesTwo - 1) / bitsPerSecondTimesTwo;
  return std::max<uint32_t>(kMinGapUs, static_cast<uint32_t>(gap));
}

void TRelayPacing::Configure(bool fixedPacing, int32_t baudRate) {
  FFixed = fixedPacing;
  FGapUs = LineGapUs(baudRate);
  FLastArrival.reset();
}

void TRelayPacing::DeviceBytesArrived(uint32_t nowUs) { FLastArrival = nowUs; }

bool TRelayPacing::DeviceChunkDue(uint32_t nowUs, int32_t collected, int32_t capacity) const {
  if (FFixed || collected <= 0)
    return false;
  return collected >= capacity || (FLastArrival && nowUs - *FLastArrival >= FGapUs);
}

std::optional<uint32_t> TRelayPacing::UsUntilDeviceChunkDue(uint32_t nowUs) const {
  if (FFixed || !FLastArrival)
    return std::nullopt;
  const uint32_t quiet = nowUs - *FLastArrival;
  return quiet >= FGapUs ? 0 : FGapUs - quiet;
}
