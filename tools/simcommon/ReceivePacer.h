#pragma once
// A UART delivers the bridge's bytes to the device no faster than the line
// carries them: ten bits a byte at the speed the bridge set on the port.

#include <chrono>
#include <cstddef>

class TReceivePacer {
public:
  // Brings the line up to now at `baud` (0: the speed is unknown, no pacing).
  void Advance(long baud);
  // Bytes the line has carried and the device has not taken yet; 0 until
  // enough have arrived to be worth a read.
  size_t Allowance() const;
  void Took(size_t bytes);
  // Nothing is on its way to the device: the line saves no allowance while idle.
  void LineIdle() { FCredit = 0; }
  // Milliseconds until Allowance() is worth a read again.
  int MsUntilAllowance() const;

private:
  using TClock = std::chrono::steady_clock;
  // Bytes per read wake-up and the most the line holds for the device (its
  // receive FIFO), in milliseconds of the line.
  static constexpr double kReadEveryMs = 2;
  static constexpr double kFifoMs = 20;

  double FBytesPerMs = 0;
  double FCredit = 0;
  TClock::time_point FLast = TClock::now();
};
