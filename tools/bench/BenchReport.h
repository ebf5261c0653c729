#pragma once
// What one run of the benchmark measured, and its printout with the targets.

#include "Flows.h"

#include <optional>
#include <string>
#include <vector>

struct TRow {
  std::string name;
  std::optional<TFlowResult> toSetup;  // device -> bridge -> setup program
  std::optional<TFlowResult> toDevice; // setup program -> bridge -> device
  std::optional<double> heldBackMs;    // the device's stream waited for the bridge
  double seconds = 0;
};

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
};

// Prints the tables and whether each target is met; false when one is missed.
bool PrintReport(const TReport &report);

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
