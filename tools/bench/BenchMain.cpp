// Benchmark of the real wizard: throughput, loss, round trip, CPU and memory,
// against the simulated device, driven through the wizard's windows under a
// private Xvfb, with socat and the bare pty measured in the same run for
// comparison; then an XMODEM upload by lrzsz and a Modbus RTU poll by
// pymodbus through the wizard and through socat, and the wizard's CPU with
// its log window shown. Usage: see Usage below and bench/README.md.

#include "BenchReport.h"
#include "BenchRig.h"
#include "LogWindowCpu.h"
#include "ModbusPoll.h"
#include "ProcessStats.h"
#include "XmodemUpload.h"
#include "serial/COMUtils.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

constexpr long Bauds[] = {9600, 115200, 256000};
// Speeds at which the setup program also uploads a whole block at once.
constexpr long BlockBauds[] = {115200, 256000};

std::string EchoBlock() {
  std::string block(EchoBlockBytes, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>((i * 7919) >> 3);
  return block;
}

const std::string BurstRequest = "READ " + std::to_string(BurstReplySize) + "\r\n";
constexpr size_t BurstReplyBytes = BurstReplySize + 2; // with its CR LF

// What a run measures: the flows, round trips, burst replies, blocking echo,
// CPU and memory ("core"), and each of the measurements with real peers.
struct TSelection {
  bool core = true;
  bool upload = true;
  bool modbus = true;
  bool logWindow = true;
};

class TBench {
public:
  // The paced devices take the bridge's bytes at the line rate, as a UART
  // does; the blocking echo cannot send while the bridge does not read, as a
  // USB device.
  TBench(double seconds, bool fixedPacing, TSelection selection)
      : FSeconds(seconds), FSelection(selection), FRig(fixedPacing),
        FSink(FRig.Root(), "sink", "device", SIMDEVICE_BIN, PacedSinkOptions),
        FEcho(FRig.Root(), "echo", "device", SIMDEVICE_BIN, {"--mode", "echo"}),
        FPacedEcho(FRig.Root(), "paced-echo", "device", SIMDEVICE_BIN, {"--mode", "echo", "--paced", "on"}),
        FBurst(FRig.Root(), "burst", "device", SIMDEVICE_BIN, {"--mode", "protocol", "--paced", "on"}),
        FBlockingEcho(FRig.Root(), "blocking-echo", "device", SIMDEVICE_BIN, {"--mode", "echo", "--flow", "blocking"}) {
    FReport.fixedPacing = fixedPacing;
    FReport.core = selection.core;
  }

  TReport Run() {
    // The wizard finds its stored port at start; later devices take the same path.
    FSink.Start();
    FRig.Start(FSink);
    if (FSelection.core)
      MeasureCore();
    FSink.Stop();
    if (FSelection.upload)
      FReport.uploads = MeasureUploads(FRig);
    if (FSelection.modbus)
      FReport.polls = MeasurePolls(FRig);
    // Last: the log window stays open.
    if (FSelection.logWindow)
      FReport.logWindow = MeasureLogWindowCpu(FRig, FSeconds);
    FRig.Stop();
    return FReport;
  }

private:
  void MeasureCore() {
    for (const long baud : Bauds)
      MeasureFlows(baud);
    MeasureSocatBothWays();
    FSink.Stop();
    MeasureUnpacedRoundTrips();
    MeasurePacedRoundTrips();
    MeasureBurstReplies();
    MeasureBlockingEcho();
    FReport.peakRssMiB = PeakRssMiB(FRig.WizardPid());
  }

  TFlowOutcome Flow(int fd, const TFlowPlan &plan) { return FRig.Flow(fd, FSink, plan); }

  void Row(int fd, const std::string &name, const TFlowPlan &plan) {
    const TFlowOutcome outcome = Flow(fd, plan);
    FReport.rows.push_back({name, outcome.fromDevice, outcome.toDevice, outcome.heldBackMs, plan.seconds});
  }

  void MeasureFlows(long baud) {
    const int fd = FRig.Connect(FSink, baud);
    const std::string speed = std::to_string(baud);
    const TCpuMeter streaming(FRig.WizardPid());
    Row(fd, speed + " device->setup", TFlowPlan{baud, true, false, false, FSeconds});
    Row(fd, speed + " setup->device", TFlowPlan{baud, false, true, false, FSeconds});
    const TCpuMeter bothWays(FRig.WizardPid());
    Row(fd, speed + " both ways", TFlowPlan{baud, true, true, false, FSeconds});
    if (baud == BothWaysCpuBaud)
      FReport.wizardBothWaysCpuPercent = bothWays.Percent();
    if (std::find(std::begin(BlockBauds), std::end(BlockBauds), baud) != std::end(BlockBauds))
      Row(fd, speed + " both, block at once", TFlowPlan{baud, true, true, true, FSeconds});
    if (baud == CpuBaud)
      FReport.streamingCpuPercent = streaming.Percent();
    FRig.Disconnect(fd);
  }

  void MeasureSocatBothWays() {
    TSocatRelay socat;
    FRig.StartSocat(socat, FSink, BothWaysCpuBaud);
    const TCpuMeter cpu(socat.Pid());
    Flow(socat.Fd(), TFlowPlan{BothWaysCpuBaud, true, true, false, FSeconds});
    FReport.socatBothWaysCpuPercent = cpu.Percent();
  }

  void MeasureUnpacedRoundTrips() {
    FEcho.Start();
    TRoundTrips line{"unpaced", {}, {}, {}};
    const int fd = FRig.Connect(FEcho, CpuBaud);
    line.wizard = MeasureRoundTrips(fd, RoundTripCount, MessageSize);
    const TCpuMeter idle(FRig.WizardPid());
    std::this_thread::sleep_for(std::chrono::seconds(IdleSeconds));
    FReport.idleCpuPercent = idle.Percent();
    FRig.Disconnect(fd);
    // socat takes only the speeds that have a termios constant.
    TSocatRelay socat;
    FRig.StartSocat(socat, FEcho, PacedRoundTripBaud);
    line.socat = MeasureRoundTrips(socat.Fd(), RoundTripCount, MessageSize);
    socat.Stop();
    FEcho.Stop();
    FReport.roundTrips.push_back(line);
  }

  void MeasurePacedRoundTrips() {
    FPacedEcho.Start();
    TRoundTrips line{"at " + std::to_string(PacedRoundTripBaud) + " baud", {}, {}, {}};
    const int fd = FRig.Connect(FPacedEcho, PacedRoundTripBaud);
    line.wizard = MeasureRoundTrips(fd, RoundTripCount, MessageSize);
    FRig.Disconnect(fd);
    TSocatRelay socat;
    FRig.StartSocat(socat, FPacedEcho, PacedRoundTripBaud);
    line.socat = MeasureRoundTrips(socat.Fd(), RoundTripCount, MessageSize);
    socat.Stop();
    int pty = OpenRawPty(FPacedEcho.Link().string(), PacedRoundTripBaud);
    Require(pty >= 0, "cannot open the device's pty");
    line.rawPty = MeasureRoundTrips(pty, RoundTripCount, MessageSize);
    CloseCOM(pty);
    FPacedEcho.Stop();
    FReport.roundTrips.push_back(line);
  }

  void MeasureBurstReplies() {
    FBurst.Start();
    const int fd = FRig.Connect(FBurst, BurstBaud);
    FReport.wizardReplyPieces = MeasureReplyPieces(fd, BurstReplies, BurstRequest, BurstReplyBytes);
    FRig.Disconnect(fd);
    TSocatRelay socat;
    FRig.StartSocat(socat, FBurst, BurstBaud);
    FReport.socatReplyPieces = MeasureReplyPieces(socat.Fd(), BurstReplies, BurstRequest, BurstReplyBytes);
    socat.Stop();
    FBurst.Stop();
  }

  void MeasureBlockingEcho() {
    FBlockingEcho.Start();
    const int fd = FRig.Connect(FBlockingEcho, CpuBaud);
    FReport.echoBlockSeconds = TimeEcho(fd, EchoBlock(), EchoBlockTimeoutSeconds);
    FRig.Disconnect(fd);
    FBlockingEcho.Stop();
  }

  double FSeconds;
  TSelection FSelection;
  TBenchRig FRig;
  TSimulator FSink;
  TSimulator FEcho;
  TSimulator FPacedEcho;
  TSimulator FBurst;
  TSimulator FBlockingEcho;
  TReport FReport;
};

const char *const Usage = "usage: tandrel-bench [--quick] [--fixed-pacing] [--only core|upload|modbus|logwindow]...\n";

// "--only NAME" picks one measurement; given again, it adds another.
bool SelectOnly(const std::string &name, TSelection &selection, bool &first) {
  const std::pair<const char *, bool TSelection::*> parts[] = {{"core", &TSelection::core},
                                                              {"upload", &TSelection::upload},
                                                              {"modbus", &TSelection::modbus},
                                                              {"logwindow", &TSelection::logWindow}};
  for (const auto &[partName, part] : parts) {
    if (name != partName)
      continue;
    if (std::exchange(first, false))
      selection = TSelection{false, false, false, false};
    selection.*part = true;
    return true;
  }
  return false;
}

} // namespace

int main(int argc, char **argv) {
  bool quick = false, fixedPacing = false, firstOnly = true;
  TSelection selection;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quick")
      quick = true;
    else if (option == "--fixed-pacing")
      fixedPacing = true;
    else if (option != "--only" || i + 1 >= argc || !SelectOnly(argv[++i], selection, firstOnly)) {
      std::fprintf(stderr, "%s", Usage);
      return 2;
    }
  }
  try {
    TBench bench(quick ? 1.0 : 3.0, fixedPacing, selection);
    return PrintReport(bench.Run()) ? 0 : 1;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tandrel-bench: %s\n", error.what());
    return 1;
  }
}
