#include "BenchReport.h"

#include <cmath>
#include <cstdio>

namespace {

// The rate is a fitted slope: a per cent either way is measurement noise.
constexpr double MaxPercentOff = 1.0;
// The device's paced output may wait for the bridge this share of a flow.
constexpr double MaxHeldBackPercent = 1.0;
// Round trips, the bridge working as bytes come.
constexpr double MaxUnpacedP50Ms = 5;
constexpr double MaxUnpacedP99Ms = 10;
constexpr double MaxP50OverRawPtyMs = 5;
// With the fixed 50 ms pacing.
constexpr double MaxFixedP50Ms = 101;
constexpr double MaxFixedP99Ms = 110;
constexpr double MinWholeRepliesPercent = 99;
constexpr double MaxCpuOverSocat = 2;
constexpr double MaxIdleCpuPercent = 0.5;
constexpr double MaxPeakRssBytes = 80e6;

double HeldBackPercent(const TRow &row) { return row.heldBackMs ? 100.0 * *row.heldBackMs / (row.seconds * 1000) : 0; }

} // namespace

const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

std::string FlowCell(const std::optional<TFlowResult> &flow) {
  if (!flow)
    return "-";
  char text[96];
  std::snprintf(text, sizeof text, "%6.1f %% lost %lld dup %lld%s", flow->Percent(), flow->Lost(), flow->Duplicated(),
                flow->firstMismatch >= 0 ? " CORRUPT" : "");
  return text;
}

std::string HeldBackCell(const TRow &row) {
  if (!row.heldBackMs)
    return "-";
  char text[48];
  std::snprintf(text, sizeof text, "%5.0f ms (%.1f %%)", *row.heldBackMs, HeldBackPercent(row));
  return text;
}

bool RowMeetsTargets(const TRow &row) {
  for (const auto &flow : {row.toSetup, row.toDevice})
    if (flow && (std::abs(flow->Percent() - 100) > MaxPercentOff || flow->Lost() || flow->Duplicated() ||
                 flow->firstMismatch >= 0))
      return false;
  return HeldBackPercent(row) < MaxHeldBackPercent;
}

namespace {

bool FlowsMeetTargets(const TReport &report) {
  for (const TRow &row : report.rows)
    if (!RowMeetsTargets(row))
      return false;
  return !report.rows.empty();
}

bool PrintFlows(const TReport &report) {
  std::printf("%-26s | %-34s | %-34s | %s\n", "flow (baud)", "device->setup (of line rate)",
              "setup->device (of line rate)", "device held back");
  const std::string rule(120, '-');
  std::printf("%s\n", rule.c_str());
  for (const TRow &row : report.rows)
    std::printf("%-26s | %-34s | %-34s | %s\n", row.name.c_str(), FlowCell(row.toSetup).c_str(), FlowCell(row.toDevice).c_str(),
                HeldBackCell(row).c_str());
  std::printf("%s\n", rule.c_str());
  const bool met = FlowsMeetTargets(report);
  std::printf("flows: line rate within %.0f %%, device held back under %.0f %% of a flow, nothing lost, duplicated or "
              "corrupted: %s\n",
              MaxPercentOff, MaxHeldBackPercent, Verdict(met));
  return met;
}

std::string Quantiles(const std::vector<double> &samples) {
  if (samples.empty())
    return "-";
  char text[64];
  std::snprintf(text, sizeof text, "p50 %6.2f  p99 %6.2f ms%s", Quantile(samples, 0.5), Quantile(samples, 0.99),
                samples.size() == RoundTripCount ? "" : " (not all back)");
  return text;
}

bool RoundTripsMeetTargets(const TReport &report, const TRoundTrips &line, bool unpaced) {
  const std::vector<double> &wizard = line.wizard;
  if (wizard.size() != RoundTripCount)
    return false;
  const double p50 = Quantile(wizard, 0.5);
  const double p99 = Quantile(wizard, 0.99);
  if (report.fixedPacing)
    return p50 <= MaxFixedP50Ms && p99 <= MaxFixedP99Ms;
  if (unpaced)
    return p50 <= MaxUnpacedP50Ms && p99 <= MaxUnpacedP99Ms;
  return !line.rawPty.empty() && p50 <= Quantile(line.rawPty, 0.5) + MaxP50OverRawPtyMs;
}

bool PrintRoundTrips(const TReport &report) {
  std::printf("\nround trip, %zu-byte messages (%s)\n", MessageSize,
              report.fixedPacing ? "fixed 50 ms pacing" : "as bytes come");
  std::printf("%-22s | %-28s | %-28s | %s\n", "line", "wizard", "socat", "raw pty");
  bool met = !report.roundTrips.empty();
  for (size_t i = 0; i < report.roundTrips.size(); ++i) {
    const TRoundTrips &line = report.roundTrips[i];
    std::printf("%-22s | %-28s | %-28s | %s\n", line.line.c_str(), Quantiles(line.wizard).c_str(),
                Quantiles(line.socat).c_str(), Quantiles(line.rawPty).c_str());
    met = met && RoundTripsMeetTargets(report, line, i == 0);
  }
  if (report.fixedPacing)
    std::printf("round trip targets (p50 <= %.0f ms, p99 <= %.0f ms): %s\n", MaxFixedP50Ms, MaxFixedP99Ms, Verdict(met));
  else
    std::printf("round trip targets (unpaced p50 <= %.0f ms, p99 <= %.0f ms; at %ld baud p50 within %.0f ms of the "
                "raw pty): %s\n",
                MaxUnpacedP50Ms, MaxUnpacedP99Ms, PacedRoundTripBaud, MaxP50OverRawPtyMs, Verdict(met));
  return met;
}

double WholePercent(const std::vector<int> &pieces) {
  size_t whole = 0;
  for (const int count : pieces)
    whole += count == 1;
  return pieces.empty() ? 0 : 100.0 * static_cast<double>(whole) / static_cast<double>(pieces.size());
}

bool PrintReplyPieces(const TReport &report) {
  const double wizard = WholePercent(report.wizardReplyPieces);
  const bool met = report.wizardReplyPieces.size() == BurstReplies && wizard >= MinWholeRepliesPercent;
  std::printf("%zu-byte burst replies at %ld baud in one piece: wizard %.1f %% of %zu, socat %.1f %% of %zu "
              "(target >= %.0f %%: %s)\n",
              BurstReplySize, BurstBaud, wizard, report.wizardReplyPieces.size(), WholePercent(report.socatReplyPieces),
              report.socatReplyPieces.size(), MinWholeRepliesPercent, Verdict(met));
  return met;
}

bool PrintCpu(const TReport &report) {
  const bool idleMet = report.idleCpuPercent >= 0 && report.idleCpuPercent <= MaxIdleCpuPercent;
  std::printf("wizard CPU: idle connected %d s %.2f %% of a core (target <= %.1f %%: %s), streaming at %ld baud %.2f %% "
              "of a core\n",
              IdleSeconds, report.idleCpuPercent, MaxIdleCpuPercent, Verdict(idleMet), CpuBaud,
              report.streamingCpuPercent);
  const bool bothWaysMet = report.wizardBothWaysCpuPercent >= 0 && report.socatBothWaysCpuPercent > 0 &&
                           report.wizardBothWaysCpuPercent <= MaxCpuOverSocat * report.socatBothWaysCpuPercent;
  std::printf("CPU at %ld baud both ways: wizard %.2f %%, socat %.2f %% of a core (target <= %.0f x socat: %s)\n",
              BothWaysCpuBaud, report.wizardBothWaysCpuPercent, report.socatBothWaysCpuPercent, MaxCpuOverSocat,
              Verdict(bothWaysMet));
  return idleMet && (report.fixedPacing || bothWaysMet);
}

bool PrintCore(const TReport &report) {
  bool met = PrintFlows(report);
  if (report.echoBlockSeconds >= 0)
    std::printf("blocking echo, %zu bytes sent at once: exact, back in %.2f s\n", EchoBlockBytes,
                report.echoBlockSeconds);
  else
    std::printf("blocking echo, %zu bytes sent at once: NOT exact or not back in %.0f s\n", EchoBlockBytes,
                EchoBlockTimeoutSeconds);
  met = report.echoBlockSeconds >= 0 && met;
  met = PrintRoundTrips(report) && met;
  met = PrintReplyPieces(report) && met;
  met = PrintCpu(report) && met;
  const bool rssMet = report.peakRssMiB >= 0 && report.peakRssMiB * 1024 * 1024 < MaxPeakRssBytes;
  std::printf("wizard peak RSS (VmHWM): %.1f MiB (target < 80 MB: %s)\n", report.peakRssMiB, Verdict(rssMet));
  return met && rssMet;
}

} // namespace

bool PrintReport(const TReport &report) {
  bool met = report.core ? PrintCore(report) : true;
  if (!report.uploads.empty() || !report.polls.empty() || !report.logWindow.empty())
    std::printf("\nwith real peers and the log window, beside socat in the same run\n");
  if (!report.uploads.empty())
    met = PrintUploads(report.uploads) && met;
  if (!report.polls.empty())
    met = PrintPolls(report.polls) && met;
  if (!report.logWindow.empty())
    met = PrintLogWindowCpu(report.logWindow) && met;
  return met;
}
