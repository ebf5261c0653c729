// Benchmark of the real wizard: throughput, loss, round trip, CPU and memory,
// against the simulated device, driven through the wizard's windows under a
// private Xvfb, with socat and the bare pty measured in the same run for
// comparison. Usage: tandrel-bench [--quick] [--fixed-pacing]. See
// bench/README.md.

#include "BenchReport.h"
#include "ChildProcess.h"
#include "Flows.h"
#include "LocalSockets.h"
#include "PeerRelays.h"
#include "ProcessStats.h"
#include "WizardDriver.h"
#include "WizardRig.h"
#include "XDisplay.h"
#include "serial/COMUtils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr long Bauds[] = {9600, 115200, 256000};
// Speeds at which the setup program also uploads a whole block at once.
constexpr long BlockBauds[] = {115200, 256000};
constexpr int StartMs = 20000;
constexpr auto ClientSettle = std::chrono::milliseconds(500); // the bridge registers its client

double CpuPercentSince(pid_t pid, double cpuBefore, TInstant start) {
  return 100.0 * (CpuSeconds(pid) - cpuBefore) / std::chrono::duration<double>(TBenchClock::now() - start).count();
}

std::string EchoBlock() {
  std::string block(EchoBlockBytes, '\0');
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<char>((i * 7919) >> 3);
  return block;
}

const std::string BurstRequest = "READ " + std::to_string(BurstReplySize) + "\r\n";
constexpr size_t BurstReplyBytes = BurstReplySize + 2; // with its CR LF

class TBench {
public:
  // The sink and the paced devices take the bridge's bytes at the line rate,
  // as a UART does; the blocking echo cannot send while the bridge does not
  // read, as a USB device.
  TBench(double seconds, bool fixedPacing)
      : FSeconds(seconds), FSink(FScratch.Path(), "sink", "device", SIMDEVICE_BIN, {"--mode", "sink", "--paced", "on"}),
        FEcho(FScratch.Path(), "echo", "device", SIMDEVICE_BIN, {"--mode", "echo"}),
        FPacedEcho(FScratch.Path(), "paced-echo", "device", SIMDEVICE_BIN, {"--mode", "echo", "--paced", "on"}),
        FBurst(FScratch.Path(), "burst", "device", SIMDEVICE_BIN, {"--mode", "protocol", "--paced", "on"}),
        FBlockingEcho(FScratch.Path(), "blocking-echo", "device", SIMDEVICE_BIN, {"--mode", "echo", "--flow", "blocking"}) {
    FReport.fixedPacing = fixedPacing;
  }

  TReport Run() {
    StartWizardWithSink();
    for (const long baud : Bauds)
      MeasureFlows(baud);
    MeasureSocatBothWays();
    FSink.Stop();
    MeasureUnpacedRoundTrips();
    MeasurePacedRoundTrips();
    MeasureBurstReplies();
    MeasureBlockingEcho();
    FReport.peakRssMiB = PeakRssMiB(FWizard.Pid());
    FWizard.Stop();
    FDisplay.Stop();
    return FReport;
  }

private:
  void StartWizardWithSink() {
    std::string error;
    Require(FDisplay.Start(&error), error);
    Require(FLinkServer.Listen((FScratch.Path() / "link").string()), "cannot listen for the measuring client");
    const fs::path bin = PrepareProgramFolder(FScratch.Path(), TANDREL_BIN, BENCHCLIENT_BIN);
    FSink.Start();
    WriteWizardSettings(FScratch.Path() / "config", FSink.Link(), 1,
                        FReport.fixedPacing ? "\"FIXEDPACING\"=dword:00000001\r\n" : "");
    FTcpPort = FreeLoopbackPort();
    StartWizard(FWizard, FDisplay, FScratch.Path(), bin, FSink.Link(),
                {"BENCH_PORT=" + std::to_string(FTcpPort), "BENCH_LINK=" + (FScratch.Path() / "link").string()});
    Require(FDriver.FindMainWindow(StartMs), "the wizard's window did not appear");
    Require(FDriver.SetTcpPort(FTcpPort), "cannot set the TCP port");
  }

  // Sets the line speed, clicks connect and waits for the measuring client
  // to reach us.
  int Connect(const fs::path &link, long baud) {
    Require(FDriver.SetBaud(baud), "cannot set the line speed");
    Require(FDriver.ClickConnectLabel(), "cannot click the connect label");
    const int fd = FLinkServer.Accept(StartMs);
    Require(fd >= 0, "the measuring client did not connect (see " + (FScratch.Path() / "tandrel.log").string() + ")");
    // Read back from the pty, so a missed key in the speed dialog cannot pass
    // unnoticed. Opening a port held with TIOCEXCL needs root.
    const long speed = CurrentLineSpeed(link.string());
    if (speed == 0)
      std::fprintf(stderr, "tandrel-bench: cannot read the line speed back; %ld baud not verified\n", baud);
    else if (speed != baud) {
      close(fd);
      Fail("the port runs at " + std::to_string(speed) + " baud, not " + std::to_string(baud));
    }
    std::this_thread::sleep_for(ClientSettle);
    return fd;
  }

  // Disconnecting a cable connection ends the measuring client.
  void Disconnect(int fd) {
    Require(FDriver.ClickConnectLabel(), "cannot click the connect label");
    const bool closed = WaitForClose(fd, StartMs);
    close(fd);
    Require(closed, "the measuring client was not ended at disconnect");
  }

  // socat on the same device, started once the wizard has let the port go.
  void StartSocat(TSocatRelay &socat, const TSimulator &device, long baud) {
    Require(socat.Start(device.Link().string(), baud, FreeLoopbackPort(), (FScratch.Path() / "socat.log").string()),
            "socat did not come up (is it installed?)");
    std::this_thread::sleep_for(ClientSettle);
  }

  TFlowOutcome Flow(int fd, const TFlowPlan &plan) {
    TFlowOutcome outcome;
    std::string error;
    Require(RunFlows(fd, FSink.Control(), plan, &outcome, &error), error);
    return outcome;
  }

  void Row(int fd, const std::string &name, const TFlowPlan &plan) {
    const TFlowOutcome outcome = Flow(fd, plan);
    FReport.rows.push_back({name, outcome.fromDevice, outcome.toDevice, outcome.heldBackMs, plan.seconds});
  }

  void MeasureFlows(long baud) {
    const int fd = Connect(FSink.Link(), baud);
    const std::string speed = std::to_string(baud);
    const double cpuBefore = CpuSeconds(FWizard.Pid());
    const TInstant start = TBenchClock::now();
    Row(fd, speed + " device->setup", TFlowPlan{baud, true, false, false, FSeconds});
    Row(fd, speed + " setup->device", TFlowPlan{baud, false, true, false, FSeconds});
    const double bothCpuBefore = CpuSeconds(FWizard.Pid());
    const TInstant bothStart = TBenchClock::now();
    Row(fd, speed + " both ways", TFlowPlan{baud, true, true, false, FSeconds});
    if (baud == BothWaysCpuBaud)
      FReport.wizardBothWaysCpuPercent = CpuPercentSince(FWizard.Pid(), bothCpuBefore, bothStart);
    if (std::find(std::begin(BlockBauds), std::end(BlockBauds), baud) != std::end(BlockBauds))
      Row(fd, speed + " both, block at once", TFlowPlan{baud, true, true, true, FSeconds});
    if (baud == CpuBaud)
      FReport.streamingCpuPercent = CpuPercentSince(FWizard.Pid(), cpuBefore, start);
    Disconnect(fd);
  }

  void MeasureSocatBothWays() {
    TSocatRelay socat;
    StartSocat(socat, FSink, BothWaysCpuBaud);
    const double cpuBefore = CpuSeconds(socat.Pid());
    const TInstant start = TBenchClock::now();
    Flow(socat.Fd(), TFlowPlan{BothWaysCpuBaud, true, true, false, FSeconds});
    FReport.socatBothWaysCpuPercent = CpuPercentSince(socat.Pid(), cpuBefore, start);
  }

  void MeasureUnpacedRoundTrips() {
    FEcho.Start();
    TRoundTrips line{"unpaced", {}, {}, {}};
    const int fd = Connect(FEcho.Link(), CpuBaud);
    line.wizard = MeasureRoundTrips(fd, RoundTripCount, MessageSize);
    const double cpuBefore = CpuSeconds(FWizard.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(IdleSeconds));
    FReport.idleCpuPercent = 100.0 * (CpuSeconds(FWizard.Pid()) - cpuBefore) / IdleSeconds;
    Disconnect(fd);
    // socat takes only the speeds that have a termios constant.
    TSocatRelay socat;
    StartSocat(socat, FEcho, PacedRoundTripBaud);
    line.socat = MeasureRoundTrips(socat.Fd(), RoundTripCount, MessageSize);
    socat.Stop();
    FEcho.Stop();
    FReport.roundTrips.push_back(line);
  }

  void MeasurePacedRoundTrips() {
    FPacedEcho.Start();
    TRoundTrips line{"at " + std::to_string(PacedRoundTripBaud) + " baud", {}, {}, {}};
    const int fd = Connect(FPacedEcho.Link(), PacedRoundTripBaud);
    line.wizard = MeasureRoundTrips(fd, RoundTripCount, MessageSize);
    Disconnect(fd);
    TSocatRelay socat;
    StartSocat(socat, FPacedEcho, PacedRoundTripBaud);
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
    const int fd = Connect(FBurst.Link(), BurstBaud);
    FReport.wizardReplyPieces = MeasureReplyPieces(fd, BurstReplies, BurstRequest, BurstReplyBytes);
    Disconnect(fd);
    TSocatRelay socat;
    StartSocat(socat, FBurst, BurstBaud);
    FReport.socatReplyPieces = MeasureReplyPieces(socat.Fd(), BurstReplies, BurstRequest, BurstReplyBytes);
    socat.Stop();
    FBurst.Stop();
  }

  void MeasureBlockingEcho() {
    FBlockingEcho.Start();
    const int fd = Connect(FBlockingEcho.Link(), CpuBaud);
    FReport.echoBlockSeconds = TimeEcho(fd, EchoBlock(), EchoBlockTimeoutSeconds);
    Disconnect(fd);
    FBlockingEcho.Stop();
  }

  double FSeconds;
  TScratch FScratch{"tandrel-bench"};
  TXDisplay FDisplay;
  TWizardDriver FDriver{FDisplay};
  TLinkServer FLinkServer;
  TSimulator FSink;
  TSimulator FEcho;
  TSimulator FPacedEcho;
  TSimulator FBurst;
  TSimulator FBlockingEcho;
  TChildProcess FWizard;
  int FTcpPort = 0;
  TReport FReport;
};

} // namespace

int main(int argc, char **argv) {
  bool quick = false, fixedPacing = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quick")
      quick = true;
    else if (option == "--fixed-pacing")
      fixedPacing = true;
    else {
      std::fprintf(stderr, "usage: tandrel-bench [--quick] [--fixed-pacing]\n");
      return 2;
    }
  }
  try {
    TBench bench(quick ? 1.0 : 3.0, fixedPacing);
    return PrintReport(bench.Run()) ? 0 : 1;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tandrel-bench: %s\n", error.what());
    return 1;
  }
}
