// Benchmark of the real wizard: throughput, loss, round trip, CPU and memory,
// against the simulated device, driven through the wizard's windows under a
// private Xvfb. Usage: tandrel-bench [--quick]. See bench/README.md.

#include "ChildProcess.h"
#include "Flows.h"
#include "LocalSockets.h"
#include "ProcessStats.h"
#include "WizardDriver.h"
#include "XDisplay.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr long Bauds[] = {9600, 115200, 256000};
// Speeds at which the setup program also uploads a whole block at once.
constexpr long BlockBauds[] = {115200, 256000};
constexpr long CpuBaud = 256000;
// The rate is a fitted slope: a per cent either way is measurement noise.
constexpr double MaxPercentOff = 1.0;
// The device's paced output may wait for the bridge this share of a flow.
constexpr double MaxHeldBackPercent = 1.0;
constexpr size_t RoundTrips = 120;
constexpr size_t MessageSize = 16;
constexpr double MaxRoundTripP50Ms = 101;
constexpr double MaxRoundTripP99Ms = 110;
constexpr double MaxIdleCpuPercent = 0.5;
constexpr int IdleSeconds = 10;
constexpr size_t EchoBlockBytes = 1 << 20;
constexpr double EchoBlockTimeoutSeconds = 120;
constexpr int StartMs = 20000;
constexpr auto ClientSettle = std::chrono::milliseconds(500); // the bridge registers its client

[[noreturn]] void Fail(const std::string &what) { throw std::runtime_error(what); }

void Require(bool ok, const std::string &what) {
  if (!ok)
    Fail(what);
}

// A temporary folder removed with everything in it.
class TScratch {
public:
  TScratch() {
    std::string pattern = (fs::temp_directory_path() / "tandrel-bench.XXXXXX").string();
    Require(mkdtemp(pattern.data()) != nullptr, "cannot create a temporary folder");
    FPath = pattern;
  }
  ~TScratch() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  const fs::path &Path() const { return FPath; }

private:
  fs::path FPath;
};

void WriteText(const fs::path &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  Require(static_cast<bool>(out), "cannot write " + path.string());
}

// The wizard's folder: the wizard, setup.ini mapping the device to the
// measuring client, and the client itself.
fs::path PrepareProgramFolder(const fs::path &root) {
  const fs::path bin = root / "bin";
  fs::create_directories(bin);
  fs::copy_file(TANDREL_BIN, bin / "tandrel");
  fs::copy_file(BENCHCLIENT_BIN, bin / "benchclient");
  WriteText(bin / "setup.ini", "DEMO=benchclient\r\n");
  return bin;
}

// Selects the cable and the simulated port before the wizard starts.
void WriteWizardSettings(const fs::path &configHome, const fs::path &link) {
  fs::create_directories(configHome / "Korvel");
  WriteText(configHome / "Korvel" / "Tandrel.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                                   "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n"
                                                   "\"COM\"=\"" + link.string() + "\"\r\n"
                                                   "\"CHANNEL\"=dword:00000001\r\n");
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0;
  if (fd >= 0)
    close(fd);
  Require(ok, "no free loopback port");
  return ntohs(address.sin_port);
}

bool WaitForPath(const fs::path &path, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (fs::exists(path))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// One simulated device at a fixed path, with its control channel.
class TDevice {
public:
  TDevice(const fs::path &root, std::string name, std::vector<std::string> options)
      : FRoot(root), FName(std::move(name)), FOptions(std::move(options)) {}

  void Start() {
    const fs::path control = FRoot / ("control-" + FName);
    std::vector<std::string> arguments{SIMDEVICE_BIN, "--link", Link().string(), "--control", control.string(),
                                       "--time-limit", "300"};
    arguments.insert(arguments.end(), FOptions.begin(), FOptions.end());
    Require(FProcess.Start(arguments, {}, (FRoot / ("simdevice-" + FName + ".log")).string()),
            "cannot start simdevice");
    Require(WaitForPath(Link(), StartMs) && FControl.Connect(control.string(), StartMs), "simdevice did not come up");
  }
  void Stop() { FProcess.Stop(); }
  fs::path Link() const { return FRoot / "device"; }
  TSimControl &Control() { return FControl; }

private:
  fs::path FRoot;
  std::string FName;
  std::vector<std::string> FOptions;
  TChildProcess FProcess;
  TSimControl FControl;
};

struct TRow {
  std::string name;
  std::optional<TFlowResult> toSetup;  // device -> bridge -> setup program
  std::optional<TFlowResult> toDevice; // setup program -> bridge -> device
  std::optional<double> heldBackMs;    // the device's stream waited for the bridge
  double seconds = 0;
};

struct TReport {
  std::vector<TRow> rows;
  std::vector<double> roundTrips;
  double echoBlockSeconds = -1; // a megabyte through a blocking echo; -1: not exact
  double idleCpuPercent = -1;
  double streamingCpuPercent = -1;
  double peakRssMiB = -1;
};

class TBench {
public:
  // The sink takes the bridge's bytes at the line rate, as a UART does; the
  // blocking echo cannot send while the bridge does not read, as a USB device.
  explicit TBench(double seconds)
      : FSeconds(seconds), FSink(FScratch.Path(), "sink", {"--mode", "sink", "--paced", "on"}),
        FEcho(FScratch.Path(), "echo", {"--mode", "echo"}),
        FBlockingEcho(FScratch.Path(), "blocking-echo", {"--mode", "echo", "--flow", "blocking"}) {}

  TReport Run() {
    StartWizard();
    for (const long baud : Bauds)
      MeasureFlows(baud);
    MeasureEcho();
    MeasureBlockingEcho();
    FReport.peakRssMiB = PeakRssMiB(FWizard.Pid());
    FWizard.Stop();
    FDisplay.Stop();
    return FReport;
  }

private:
  void StartWizard() {
    std::string error;
    Require(FDisplay.Start(&error), error);
    Require(FLinkServer.Listen((FScratch.Path() / "link").string()), "cannot listen for the measuring client");
    const fs::path bin = PrepareProgramFolder(FScratch.Path());
    const fs::path runtime = FScratch.Path() / "runtime";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    FSink.Start();
    WriteWizardSettings(FScratch.Path() / "config", FSink.Link());
    FTcpPort = FreeLoopbackPort();
    Require(FWizard.Start({(bin / "tandrel").string()},
                          {FDisplay.EnvironmentEntry(), "QT_QPA_PLATFORM=xcb", "LC_ALL=C.UTF-8",
                           "XDG_CONFIG_HOME=" + (FScratch.Path() / "config").string(),
                           "XDG_RUNTIME_DIR=" + runtime.string(), "TANDREL_EXTRA_PORTS=" + FSink.Link().string(),
                           "BENCH_PORT=" + std::to_string(FTcpPort),
                           "BENCH_LINK=" + (FScratch.Path() / "link").string()},
                          (FScratch.Path() / "tandrel.log").string()),
            "cannot start the wizard");
    Require(FDriver.FindMainWindow(StartMs), "the wizard's window did not appear");
    Require(FDriver.SetTcpPort(FTcpPort), "cannot set the TCP port");
  }

  // Clicks connect and waits for the measuring client to reach us.
  int Connect(const fs::path &link, long baud) {
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

  void Flow(int fd, const std::string &name, const TFlowPlan &plan) {
    TFlowOutcome outcome;
    std::string error;
    Require(RunFlows(fd, FSink.Control(), plan, &outcome, &error), error);
    FReport.rows.push_back({name, outcome.fromDevice, outcome.toDevice, outcome.heldBackMs, plan.seconds});
  }

  void MeasureFlows(long baud) {
    Require(FDriver.SetBaud(baud), "cannot set the line speed");
    const int fd = Connect(FSink.Link(), baud);
    const std::string speed = std::to_string(baud);
    const bool measureCpu = baud == CpuBaud;
    const double cpuBefore = CpuSeconds(FWizard.Pid());
    const TInstant start = TBenchClock::now();
    Flow(fd, speed + " device->setup", TFlowPlan{baud, true, false, false, FSeconds});
    Flow(fd, speed + " setup->device", TFlowPlan{baud, false, true, false, FSeconds});
    Flow(fd, speed + " both ways", TFlowPlan{baud, true, true, false, FSeconds});
    if (std::find(std::begin(BlockBauds), std::end(BlockBauds), baud) != std::end(BlockBauds))
      Flow(fd, speed + " both, block at once", TFlowPlan{baud, true, true, true, FSeconds});
    if (measureCpu)
      FReport.streamingCpuPercent = 100.0 * (CpuSeconds(FWizard.Pid()) - cpuBefore) /
                                    std::chrono::duration<double>(TBenchClock::now() - start).count();
    Disconnect(fd);
  }

  void MeasureEcho() {
    FSink.Stop();
    FEcho.Start();
    const int fd = Connect(FEcho.Link(), CpuBaud);
    FReport.roundTrips = MeasureRoundTrips(fd, RoundTrips, MessageSize);
    const double cpuBefore = CpuSeconds(FWizard.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(IdleSeconds));
    FReport.idleCpuPercent = 100.0 * (CpuSeconds(FWizard.Pid()) - cpuBefore) / IdleSeconds;
    Disconnect(fd);
    FEcho.Stop();
  }

  void MeasureBlockingEcho() {
    FBlockingEcho.Start();
    const int fd = Connect(FBlockingEcho.Link(), CpuBaud);
    std::string block(EchoBlockBytes, '\0');
    for (size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<char>((i * 7919) >> 3);
    FReport.echoBlockSeconds = TimeEcho(fd, block, EchoBlockTimeoutSeconds);
    Disconnect(fd);
    FBlockingEcho.Stop();
  }

  double FSeconds;
  TScratch FScratch;
  TXDisplay FDisplay;
  TWizardDriver FDriver{FDisplay};
  TLinkServer FLinkServer;
  TDevice FSink;
  TDevice FEcho;
  TDevice FBlockingEcho;
  TChildProcess FWizard;
  int FTcpPort = 0;
  TReport FReport;
};

std::string Cell(const std::optional<TFlowResult> &flow) {
  if (!flow)
    return "-";
  char text[96];
  std::snprintf(text, sizeof text, "%6.1f %% lost %lld dup %lld%s", flow->Percent(), flow->Lost(), flow->Duplicated(),
                flow->firstMismatch >= 0 ? " CORRUPT" : "");
  return text;
}

double HeldBackPercent(const TRow &row) { return row.heldBackMs ? 100.0 * *row.heldBackMs / (row.seconds * 1000) : 0; }

std::string HeldBackCell(const TRow &row) {
  if (!row.heldBackMs)
    return "-";
  char text[48];
  std::snprintf(text, sizeof text, "%5.0f ms (%.1f %%)", *row.heldBackMs, HeldBackPercent(row));
  return text;
}

const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

bool FlowsMeetTargets(const TReport &report) {
  for (const TRow &row : report.rows) {
    for (const auto &flow : {row.toSetup, row.toDevice})
      if (flow && (std::abs(flow->Percent() - 100) > MaxPercentOff || flow->Lost() || flow->Duplicated() ||
                   flow->firstMismatch >= 0))
        return false;
    if (HeldBackPercent(row) >= MaxHeldBackPercent)
      return false;
  }
  return !report.rows.empty();
}

void PrintReport(const TReport &report) {
  std::printf("%-26s | %-34s | %-34s | %s\n", "flow (baud)", "device->setup (of line rate)",
              "setup->device (of line rate)", "device held back");
  const std::string rule(120, '-');
  std::printf("%s\n", rule.c_str());
  for (const TRow &row : report.rows)
    std::printf("%-26s | %-34s | %-34s | %s\n", row.name.c_str(), Cell(row.toSetup).c_str(), Cell(row.toDevice).c_str(),
                HeldBackCell(row).c_str());
  std::printf("%s\n", rule.c_str());
  std::printf("flows: line rate within %.0f %%, device held back under %.0f %% of a flow, nothing lost, duplicated or "
              "corrupted: %s\n",
              MaxPercentOff, MaxHeldBackPercent, Verdict(FlowsMeetTargets(report)));
  if (report.echoBlockSeconds >= 0)
    std::printf("blocking echo, %zu bytes sent at once: exact, back in %.1f s\n", EchoBlockBytes,
                report.echoBlockSeconds);
  else
    std::printf("blocking echo, %zu bytes sent at once: NOT exact or not back in %.0f s\n", EchoBlockBytes,
                EchoBlockTimeoutSeconds);
  const double p50 = Quantile(report.roundTrips, 0.5);
  const double p99 = Quantile(report.roundTrips, 0.99);
  std::printf("round trip, %zu-byte messages (%zu of %zu): p50 %.1f ms, p99 %.1f ms (target p50 <= %.0f ms, p99 <= "
              "%.0f ms: %s)\n",
              MessageSize, report.roundTrips.size(), RoundTrips, p50, p99, MaxRoundTripP50Ms, MaxRoundTripP99Ms,
              Verdict(report.roundTrips.size() == RoundTrips && p50 <= MaxRoundTripP50Ms && p99 <= MaxRoundTripP99Ms));
  std::printf("wizard CPU: idle connected %d s %.2f %% of a core (target <= %.1f %%: %s), streaming at %ld baud %.2f %% "
              "of a core\n",
              IdleSeconds, report.idleCpuPercent, MaxIdleCpuPercent, Verdict(report.idleCpuPercent <= MaxIdleCpuPercent),
              CpuBaud, report.streamingCpuPercent);
  std::printf("wizard peak RSS (VmHWM): %.1f MiB (target < 80 MB: %s)\n", report.peakRssMiB,
              Verdict(report.peakRssMiB * 1024 * 1024 < 80e6));
}

} // namespace

int main(int argc, char **argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  try {
    TBench bench(quick ? 1.0 : 3.0);
    PrintReport(bench.Run());
    return 0;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tandrel-bench: %s\n", error.what());
    return 1;
  }
}
