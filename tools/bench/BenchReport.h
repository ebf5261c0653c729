#pragma once
// What one run of the benchmark measured, and its printout with the targets.

#include "Flows.h"
#include "LogWindowCpu.h"
#include "ModbusPoll.h"
#include "XmodemUpload.h"

#include <optional>
#include <string>
#include <vector>

// Round trips of one kind of line through the wizard and what it is compared
// with; empty where it was not measured.
struct TRoundTrips {
  std::string line;
  std::vector<double> wizard;
  std::vector<double> socat;
  std::vector<double> rawPty;
};

struct TReport {
  bool fixedPacing = false;
  bool core = true; // the flows, round trips, burst replies, blocking echo, CPU and memory ran
  std::vector<TRow> rows;
  std::vector<TRoundTrips> roundTrips;
  std::vector<int> wizardReplyPieces; // per burst reply, the reads it came in
  std::vector<int> socatReplyPieces;
  double echoBlockSeconds = -1; // a megabyte through a blocking echo; -1: not exact
  double idleCpuPercent = -1;
  double streamingCpuPercent = -1; // the wizard over the 256000-baud flows
  double wizardBothWaysCpuPercent = -1; // 115200 baud both ways
  double socatBothWaysCpuPercent = -1;
  double peakRssMiB = -1;
  std::vector<TUploadResult> uploads;
  std::vector<TPollResult> polls;
  std::vector<TLogWindowResult> logWindow;
};

// Prints the tables and whether each target is met; false when one is missed.
bool PrintReport(const TReport &report);

const char *Verdict(bool met);
// A flow's rate of the line, lost, duplicated and corrupted bytes; "-" for none.
std::string FlowCell(const std::optional<TFlowResult> &flow);
// How long the device was held back, and the share of the flow.
std::string HeldBackCell(const TRow &row);
// Line rate within 1 %, device held back under 1 %, nothing lost, duplicated or corrupted.
bool RowMeetsTargets(const TRow &row);

// Sizes of the benchmark that the report states.
constexpr size_t RoundTripCount = 120;
constexpr size_t MessageSize = 16;
constexpr size_t BurstReplies = 100;
constexpr size_t BurstReplySize = 200;
constexpr size_t EchoBlockBytes = 1 << 20;
constexpr double EchoBlockTimeoutSeconds = 120;
constexpr int IdleSeconds = 10;
constexpr long CpuBaud = 256000;
constexpr long BothWaysCpuBaud = 115200;
constexpr long PacedRoundTripBaud = 115200;
constexpr long BurstBaud = 19200;
