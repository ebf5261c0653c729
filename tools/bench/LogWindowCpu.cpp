#include "LogWindowCpu.h"

#include "BenchReport.h"
#include "BenchRig.h"

#include <cstdio>
#include <regex>

namespace {

struct TLogPlan {
  bool hexView;
  long baud;
  double maxCpuPercent;
};
constexpr TLogPlan Plans[] = {{false, 115200, 10}, {true, 115200, 10}, {true, 256000, 15}};

// A relayed chunk in the hex view: the direction, "[N]" and the bytes as
// upper-case pairs. The text of the flows' pattern never looks like that.
const std::regex HexEntry(R"((TCP->COM|COM->TCP) \[[0-9]+\]( [0-9A-F]{2})+)");

// The last entry of the log as copied through the clipboard (one a line) is
// in that view.
bool LogIsInView(std::string log, bool hexView) {
  while (!log.empty() && log.back() == '\n')
    log.pop_back();
  if (log.empty())
    return false;
  const std::string last = log.substr(log.rfind('\n') + 1);
  return std::regex_search(last, HexEntry) == hexView;
}

TLogWindowResult Measure(TBenchRig &rig, int fd, TSimulator &sink, const TLogPlan &plan, double seconds) {
  Require(rig.Driver().ClearLog(), "cannot clear the log");
  const std::string view = plan.hexView ? "hex" : "text";
  const TCpuMeter cpu(rig.WizardPid());
  const TFlowOutcome outcome = rig.Flow(fd, sink, TFlowPlan{plan.baud, true, true, false, seconds});
  const double cpuPercent = cpu.Percent();
  const TRow flows{std::to_string(plan.baud) + " both ways, " + view + " view", outcome.fromDevice, outcome.toDevice,
                   outcome.heldBackMs, seconds};
  return TLogWindowResult{flows, cpuPercent, plan.maxCpuPercent, LogIsInView(rig.Driver().CopyLog(), plan.hexView)};
}

} // namespace

std::vector<TLogWindowResult> MeasureLogWindowCpu(TBenchRig &rig, double seconds) {
  TSimulator sink(rig.Root(), "log-sink", "device", SIMDEVICE_BIN, PacedSinkOptions);
  sink.Start();
  Require(rig.Driver().OpenLog(), "cannot open the log window");
  std::vector<TLogWindowResult> results;
  int fd = -1;
  long baud = 0;
  bool hexView = false;
  for (const TLogPlan &plan : Plans) {
    if (plan.baud != baud) {
      if (fd >= 0)
        rig.Disconnect(fd);
      fd = rig.Connect(sink, plan.baud);
      baud = plan.baud;
    }
    if (plan.hexView != hexView) {
      Require(rig.Driver().ToggleHexView(), "cannot switch the log's view");
      hexView = plan.hexView;
    }
    results.push_back(Measure(rig, fd, sink, plan, seconds));
  }
  rig.Disconnect(fd);
  sink.Stop();
  return results;
}

bool PrintLogWindowCpu(const std::vector<TLogWindowResult> &results) {
  bool met = !results.empty();
  for (const TLogWindowResult &result : results) {
    const bool cpuMet = result.cpuPercent >= 0 && result.cpuPercent <= result.maxCpuPercent;
    const bool lineMet = cpuMet && result.viewSeen && RowMeetsTargets(result.flows);
    std::printf("log window shown, %-28s: wizard CPU %5.2f %% of a core (target <= %.0f %%: %s)%s\n",
                result.flows.name.c_str(), result.cpuPercent, result.maxCpuPercent, Verdict(cpuMet),
                result.viewSeen ? "" : ", view NOT confirmed in the copied log");
    std::printf("    device->setup %s, setup->device %s, device held back %s\n", FlowCell(result.flows.toSetup).c_str(),
                FlowCell(result.flows.toDevice).c_str(), HeldBackCell(result.flows).c_str());
    met = met && lineMet;
  }
  return met;
}
