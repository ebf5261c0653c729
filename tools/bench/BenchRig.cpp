#include "BenchRig.h"

#include "ProcessStats.h"

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

constexpr int StartMs = 20000;
constexpr auto ClientSettle = std::chrono::milliseconds(500); // the bridge registers its client

} // namespace

TCpuMeter::TCpuMeter(pid_t pid) : FPid(pid), FCpuBefore(CpuSeconds(pid)), FStart(TBenchClock::now()) {}

double TCpuMeter::Percent() const {
  return 100.0 * (CpuSeconds(FPid) - FCpuBefore) / std::chrono::duration<double>(TBenchClock::now() - FStart).count();
}

void TBenchRig::Start(const TSimulator &device) {
  std::string error;
  Require(FDisplay.Start(&error), error);
  Require(FLinkServer.Listen((Root() / "link").string()), "cannot listen for the measuring client");
  const fs::path bin = PrepareProgramFolder(Root(), TANDREL_BIN, BENCHCLIENT_BIN);
  WriteWizardSettings(Root() / "config", device.Link(), 1,
                      FFixedPacing ? "\"FIXEDPACING\"=dword:00000001\r\n" : "");
  const int tcpPort = FreeLoopbackPort();
  StartWizard(FWizard, FDisplay, Root(), bin, device.Link(),
              {"BENCH_PORT=" + std::to_string(tcpPort), "BENCH_LINK=" + (Root() / "link").string()});
  Require(FDriver.FindMainWindow(StartMs), "the wizard's window did not appear");
  Require(FDriver.SetTcpPort(tcpPort), "cannot set the TCP port");
}

void TBenchRig::Stop() {
  FWizard.Stop();
  FDisplay.Stop();
}

int TBenchRig::Connect(const TSimulator &device, long baud) {
  Require(FDriver.SetBaud(baud), "cannot set the line speed");
  Require(FDriver.ClickConnectLabel(), "cannot click the connect label");
  const int fd = FLinkServer.Accept(StartMs);
  Require(fd >= 0, "the measuring client did not connect (see " + (Root() / "tandrel.log").string() + ")");
  // Read back from the pty, so a missed key in the speed dialog cannot pass
  // unnoticed. Opening a port held with TIOCEXCL needs root.
  const long speed = CurrentLineSpeed(device.Link().string());
  if (speed == 0)
    std::fprintf(stderr, "tandrel-bench: cannot read the line speed back; %ld baud not verified\n", baud);
  else if (speed != baud) {
    close(fd);
    Fail("the port runs at " + std::to_string(speed) + " baud, not " + std::to_string(baud));
  }
  std::this_thread::sleep_for(ClientSettle);
  return fd;
}

void TBenchRig::Disconnect(int fd) {
  Require(FDriver.ClickConnectLabel(), "cannot click the connect label");
  const bool closed = WaitForClose(fd, StartMs);
  close(fd);
  Require(closed, "the measuring client was not ended at disconnect");
}

void TBenchRig::StartSocat(TSocatRelay &socat, const TSimulator &device, long baud, bool noDelay) {
  Require(socat.Start(device.Link().string(), baud, FreeLoopbackPort(), (Root() / "socat.log").string(), noDelay),
          "socat did not come up (is it installed?)");
  std::this_thread::sleep_for(ClientSettle);
}

TFlowOutcome TBenchRig::Flow(int fd, TSimulator &device, const TFlowPlan &plan) {
  TFlowOutcome outcome;
  std::string error;
  Require(RunFlows(fd, device.Control(), plan, &outcome, &error), error);
  return outcome;
}
