#pragma once
// Byte flows through the bridge and what arrived of them.

#include "LocalSockets.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

using TBenchClock = std::chrono::steady_clock;
using TInstant = TBenchClock::time_point;

// When a flow's bytes arrived. The sustained rate is the least-squares slope
// of the bytes arrived over time: the bridge's constant delay and the
// moment within its polling pass at which the flow starts and ends do not
// count for or against it.
class TArrivals {
public:
  void Reached(long long total, TInstant now);
  long long Total() const { return FPoints.empty() ? 0 : FPoints.back().total; }
  double SustainedBytesPerSecond() const;

private:
  struct TPoint {
    TInstant at;
    long long total;
  };
  std::vector<TPoint> FPoints;
};

struct TFlowResult {
  long long expected = 0;
  long long delivered = 0;
  long long firstMismatch = -1; // offset of the first byte out of the pattern
  double sustainedBytesPerSecond = 0;
  double lineBytesPerSecond = 0;

  double Percent() const { return 100.0 * sustainedBytesPerSecond / lineBytesPerSecond; }
  long long Lost() const { return delivered < expected ? expected - delivered : 0; }
  long long Duplicated() const { return delivered > expected ? delivered - expected : 0; }
};

// Checks the device's stream pattern as it arrives.
class TStreamCheck {
public:
  explicit TStreamCheck(long long expected) : FExpected(expected) {}
  void Feed(const char *bytes, size_t count, TInstant now);
  bool Complete() const { return FArrivals.Total() >= FExpected; }
  TFlowResult Result(double lineBytesPerSecond) const;

private:
  long long FExpected;
  long long FFirstMismatch = -1;
  TArrivals FArrivals;
};

// The pattern bytes due by now at a paced rate, continuing at `firstIndex`;
// a rate of 0 makes every byte due at once.
class TPacedSource {
public:
  TPacedSource(double bytesPerSecond, long long total, unsigned long long firstIndex, TInstant start);
  std::string Due(TInstant now);
  bool Done() const { return FSent >= FTotal; }

private:
  double FBytesPerSecond;
  long long FTotal;
  unsigned long long FFirstIndex;
  TInstant FStart;
  long long FSent = 0;
};

struct TFlowPlan {
  long baud = 0;
  bool fromDevice = false;   // the device streams, we receive through the bridge
  bool toDevice = false;     // we send, the device's sink counts
  bool uploadAtOnce = false; // the whole block is handed to the bridge at the start
  double seconds = 3;
};

struct TFlowOutcome {
  std::optional<TFlowResult> fromDevice;
  std::optional<TFlowResult> toDevice;
  // How long the device's paced stream had to wait because the bridge did not
  // read, in milliseconds.
  std::optional<double> heldBackMs;
};

// One flow plan's outcome as the report shows it.
struct TRow {
  std::string name;
  std::optional<TFlowResult> toSetup;  // device -> bridge -> setup program
  std::optional<TFlowResult> toDevice; // setup program -> bridge -> device
  std::optional<double> heldBackMs;    // the device's stream waited for the bridge
  double seconds = 0;
};

// Runs the plan over the measuring client's link; false when the link broke.
bool RunFlows(int linkFd, TSimControl &control, const TFlowPlan &plan, TFlowOutcome *outcome, std::string *error);

// Sends `bytes` in one go through an echoing device and waits for all of it
// to come back; the seconds it took, or a negative value when the echo was
// not exact or did not come back within `timeoutSeconds`.
double TimeEcho(int linkFd, const std::string &bytes, double timeoutSeconds);

// Round trips of `count` messages of `size` bytes through an echoing device,
// in milliseconds; a message that does not come back ends the measurement.
std::vector<double> MeasureRoundTrips(int linkFd, size_t count, size_t size);

// Sends `request` `count` times, each after the reply to the one before, and
// counts the reads in which each reply of `replySize` bytes arrived; a reply
// that does not come back whole ends the measurement.
std::vector<int> MeasureReplyPieces(int linkFd, size_t count, const std::string &request, size_t replySize);

// The q-quantile (0..1) of the samples, nearest rank.
double Quantile(std::vector<double> samples, double q);
