#include "ReceivePacer.h"

#include <algorithm>
#include <cmath>
#include <limits>

void TReceivePacer::Advance(long baud) {
  const TClock::time_point now = TClock::now();
  const double elapsedMs = std::chrono::duration<double, std::milli>(now - FLast).count();
  FLast = now;
  FBytesPerMs = baud > 0 ? baud / 10.0 / 1000.0 : 0;
  if (FBytesPerMs > 0)
    FCredit = std::min(FCredit + elapsedMs * FBytesPerMs, std::max(1.0, kFifoMs * FBytesPerMs));
}

size_t TReceivePacer::Allowance() const {
  if (FBytesPerMs <= 0)
    return std::numeric_limits<size_t>::max();
  if (FCredit < std::max(1.0, kReadEveryMs * FBytesPerMs))
    return 0;
  return static_cast<size_t>(FCredit);
}

void TReceivePacer::Took(size_t bytes) {
  if (FBytesPerMs > 0)
    FCredit = std::max(0.0, FCredit - static_cast<double>(bytes));
}

int TReceivePacer::MsUntilAllowance() const {
  if (Allowance() > 0)
    return 0;
  const double missing = std::max(1.0, kReadEveryMs * FBytesPerMs) - FCredit;
  return std::max(1, static_cast<int>(std::ceil(missing / FBytesPerMs)));
}
