// Soak of the real wizard under a private Xvfb, against the simulators:
// unplugs of the cable while the device streams and the setup program echoes,
// reconnects of the setup program, and whole connections through the connect
// label, by cable and by modem; the wizard's descriptors, threads and RSS are
// sampled every cycle. Usage: tandrel-soak [--short] [--unplugs N]
// [--clients N] [--cable N] [--modem N] [--keep]. See bench/README.md.

#include "EchoLink.h"
#include "SoakChecks.h"
#include "WizardDriver.h"
#include "WizardRig.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct TPlan {
  int unplugs = 100;
  int clients = 200;
  int cable = 50;
  int modem = 50;
  bool keep = false; // the scratch folder with the logs stays
};

constexpr long CableBaud = 115200; // picked in the COM settings dialog
constexpr long ModemBaud = 19200;  // the wizard dials at this speed, whatever the dialog says
constexpr int UnplugMs = 300;
constexpr long long EndlessBytes = 1'000'000'000'000LL;
constexpr int RelayMs = 400;        // relaying between two events of a cycle
constexpr int StepTimeoutMs = 20000;
constexpr int DoubleClickGapMs = 700; // beyond Qt's 400 ms
constexpr int DialTimeoutMs = 120000; // the dialer drains the line for 15 s, then dials
constexpr long RssSlackKiB = 5'000'000 / 1024;
const std::string Reopened = "Порт успешно переоткрыт";
const std::string ReopenAttempt = "Попытка переокрытия COM порта";
const std::string PhoneNumber = "+79001234567";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t Count(const std::string &text, const std::string &what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
    ++count;
  return count;
}

std::string RecordText(uint64_t index) {
  std::string text;
  for (size_t i = 0; i < RecordSize - 3; ++i)
    text += RecordByte(index * RecordSize + i);
  return text;
}

// Whole records of about one second of the line.
long SecondOfRecords(long baud) { return baud / 10 / static_cast<long>(RecordSize) * static_cast<long>(RecordSize); }

// One wizard, its folders and its setup program's link.
class TWizard {
public:
  TWizard(const fs::path &root, const TXDisplay &display, const fs::path &port, int channel, const fs::path &link)
      : FRoot(root), FDriver(display) {
    fs::create_directories(root);
    const fs::path bin = PrepareProgramFolder(root, TANDREL_BIN, BENCHCLIENT_BIN);
    WriteWizardSettings(root / "config", port, channel);
    const int tcpPort = FreeLoopbackPort();
    StartWizard(FProcess, display, root, bin, port,
                {"BENCH_PORT=" + std::to_string(tcpPort), "BENCH_LINK=" + link.string(), "BENCH_RECONNECT=1",
                 "BENCH_LIFETIME_MS=14400000"});
    Require(FDriver.FindMainWindow(StepTimeoutMs), "the wizard's window did not appear (see " + LogPath() + ")");
    Require(FDriver.SetTcpPort(tcpPort), "cannot set the TCP port");
  }
  ~TWizard() {
    FProcess.Stop();
    KillStrays();
  }

  pid_t Pid() const { return FProcess.Pid(); }
  TWizardDriver &Driver() { return FDriver; }
  fs::path PrivateFolder() const { return FRoot / "runtime" / "tandrel"; }
  std::string LogPath() const { return (FRoot / "tandrel.log").string(); }
  bool Running() { return FProcess.IsRunning(); }

  // Whatever still runs from the private folder was started by our wizard:
  // a setup program it failed to end must not outlive the soak.
  void KillStrays() {
    for (const pid_t pid : ProcessesIn(PrivateFolder()))
      kill(pid, SIGKILL);
  }

  // Nothing runs from the private folder and nothing is left in it but the
  // running wizard's single-instance lock.
  void RequireCleanFolder(const std::string &when) {
    const auto end = Clock::now() + std::chrono::milliseconds(StepTimeoutMs);
    std::vector<pid_t> processes;
    std::vector<std::string> files;
    do {
      processes = ProcessesIn(PrivateFolder());
      files = FilesIn(PrivateFolder());
      std::erase_if(files, [](const std::string &file) { return file.starts_with("TMainTandrelForm-"); });
      if (processes.empty() && files.empty())
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < end);
    std::string what;
    for (const pid_t pid : processes)
      what += " process " + std::to_string(pid);
    for (const std::string &file : files)
      what += " file " + file;
    Fail(when + ": left in the private folder " + PrivateFolder().string() + ":" + what);
  }

private:
  fs::path FRoot;
  TWizardDriver FDriver;
  TChildProcess FProcess;
};

struct TFigures {
  std::vector<double> unplugLoss;  // device -> setup program, bytes per unplug
  std::vector<double> unplugAttempts;
  std::vector<double> clientLoss;  // bytes no client was there for, per reconnect
  TRecordCounts echoedContinuous;  // the device's count of what came back, unplug and client phases
  TRecordCounts receivedContinuous;
  uint64_t labelRecords = 0;       // records both ways in the whole-connection cycles
  std::vector<TResourceTrack> resources;
  double seconds = 0;
};

class TSoak {
public:
  explicit TSoak(const TPlan &plan) : FPlan(plan) {
    if (plan.keep)
      FScratch.Keep();
  }

  TFigures Run() {
    const Clock::time_point start = Clock::now();
    std::string error;
    Require(FDisplay.Start(&error), error);
    Require(FLinkServer.Listen(LinkPath().string()), "cannot listen for the setup program");
    {
      FDevice.Start();
      TWizard wizard(FScratch.Path() / "cable", FDisplay, FDevice.Link(), 1, LinkPath());
      Require(wizard.Driver().SetBaud(CableBaud), "cannot set the line speed");
      Require(wizard.Driver().OpenLog(), "cannot open the log window");
      ContinuousPhases(wizard);
      LabelCycles(wizard, FDevice, "cable connections", FPlan.cable, CableBaud, StepTimeoutMs);
      FDevice.Stop();
    }
    if (FPlan.modem > 0) {
      FModem.Start();
      TWizard wizard(FScratch.Path() / "modem", FDisplay, FModem.Link(), 0, LinkPath());
      Require(wizard.Driver().TypePhoneNumber(PhoneNumber), "cannot type the phone number");
      LabelCycles(wizard, FModem, "modem connections", FPlan.modem, ModemBaud, DialTimeoutMs);
      FModem.Stop();
    }
    FFigures.seconds = SecondsSince(start);
    return FFigures;
  }

private:
  fs::path LinkPath() const { return FScratch.Path() / "link"; }

  static void Say(const char *format, auto... values) {
    if (std::getenv("SOAK_TRACE")) {
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      std::printf("[%.3f] ", std::chrono::duration<double>(now).count());
    }
    std::printf(format, values...);
    std::fflush(stdout);
  }

  // As a user clicks: a second click on the label within the double-click
  // time is a double click, which the label ignores.
  bool ClickLabel(TWizard &wizard) {
    std::this_thread::sleep_until(FLastClick + std::chrono::milliseconds(DoubleClickGapMs));
    FLastClick = Clock::now();
    return wizard.Driver().ClickConnectLabel();
  }

  static void Trace(const char *what) {
    if (std::getenv("SOAK_TRACE"))
      Say("%s\n", what);
  }

  // The device's count of the records it got back.
  TRecordCounts Echoed(TSimulator &simulator) {
    TRecordCounts counts;
    const std::string reply = simulator.Command("recordcheck");
    Require(ParseRecordReport(reply, &counts), "unreadable recordcheck reply: " + reply);
    return counts;
  }

  static void RequireClean(const TRecordCounts &counts, const std::string &what) {
    Require(counts.duplicates == 0 && counts.corrupt == 0,
            what + ": a record came twice, out of order or garbled: " + Describe(counts));
  }

  // Gaps are allowed only at the cuts: an unplug or a reconnect.
  void RequireNoGapInSession(TWizard &wizard, const TRecordCheck &check, const std::string &when) {
    if (check.Counts().duplicates > 0)
      Fail(when + ": a record came twice or out of order: " + Describe(check.Counts()) + "; record " +
           RecordText(check.LastDuplicate()) + " after record " +
           RecordText(check.LastDuplicateReached() / RecordSize - 1) + LogTail(wizard));
    RequireClean(check.Counts(), when);
    if (check.Counts().gaps != check.BreakGaps())
      Fail(when + ": bytes lost while the setup program was connected: " + Describe(check.Counts()) +
           "; the last gap after record " + RecordText(check.LastGapAt() / RecordSize - 1) + ", resumed at record " +
           RecordText(check.LastGapResumedAt()) + LogTail(wizard));
  }

  // The end of the log window, when one is open, for a failure's message.
  std::string LogTail(TWizard &wizard) {
    const std::string log = wizard.Driver().CopyLog();
    WriteText(FScratch.Path() / "log-window.txt", log);
    return log.empty() ? std::string() : "\nthe log window ends with:\n" + log.substr(log.size() - std::min<size_t>(log.size(), 3000));
  }

  // The last setup program may have reached the server once more while the
  // connection was torn down, and left its link waiting to be accepted.
  void DropStaleLinks() {
    for (int fd; (fd = FLinkServer.Accept(0)) >= 0;)
      close(fd);
  }

  void OpenSession(TWizard &wizard, TRecordCheck &check, int timeoutMs, const std::string &when) {
    Require(FLink.Open(FLinkServer, check, timeoutMs),
            when + ": the setup program did not reach the bridge (see " + wizard.LogPath() + ")");
  }

  // After a cut, until a record has shown what the cut took. A session may
  // end before that: a write to the pulled port fails and drops the client
  // while the server still listens, and the presence check stops the server
  // a moment later.
  void Reconnect(TWizard &wizard, TRecordCheck &check, const std::string &when) {
    const auto end = Clock::now() + std::chrono::milliseconds(StepTimeoutMs);
    do {
      OpenSession(wizard, check, StepTimeoutMs, when);
      Trace("session");
      if (FLink.PumpUntil([&] { return check.SawRecordSinceBreak(); }, StepTimeoutMs))
        return;
      Trace("session ended before a record");
    } while (!FLink.IsOpen() && Clock::now() < end);
    Fail(when + ": no record from the device after the cut; the setup program got " + Describe(check.Counts()) +
         ", the device " + FDevice.Control().Command("recordcheck"));
  }

  // The stream runs through both phases: unplugs, then reconnects of the
  // setup program.
  void ContinuousPhases(TWizard &wizard) {
    TRecordCheck check;
    Require(ClickLabel(wizard), "cannot click the connect label");
    OpenSession(wizard, check, StepTimeoutMs, "first connection");
    FDevice.Command("records " + std::to_string(CableBaud) + " " + std::to_string(EndlessBytes));
    TResourceTrack unplugs("unplug cycles");
    for (int cycle = 1; cycle <= FPlan.unplugs; ++cycle)
      UnplugCycle(wizard, check, cycle, unplugs);
    Keep(unplugs);

    TResourceTrack clients("setup program reconnects");
    for (int cycle = 1; cycle <= FPlan.clients; ++cycle)
      ClientCycle(wizard, check, cycle, clients);
    Keep(clients);

    FDevice.Command("records " + std::to_string(CableBaud) + " 0");
    FLink.Pump(1000); // the echo of the last records comes back
    RequireNoGapInSession(wizard, check, "end of the streaming phases");
    FFigures.receivedContinuous = check.Counts();
    FFigures.echoedContinuous = Echoed(FDevice);
    RequireClean(FFigures.echoedContinuous, "the echo the device got back");
    const uint64_t cuts = static_cast<uint64_t>(FPlan.unplugs + FPlan.clients);
    Require(FFigures.echoedContinuous.gaps <= cuts,
            "the echo lost bytes away from the cuts: " + Describe(FFigures.echoedContinuous));
    Disconnect(wizard, "after the streaming phases");
  }

  void UnplugCycle(TWizard &wizard, TRecordCheck &check, int cycle, TResourceTrack &resources) {
    const std::string when = "unplug cycle " + std::to_string(cycle);
    Require(FLink.Pump(RelayMs), when + ": the setup program was dropped before the unplug");
    Require(wizard.Driver().ClearLog(), when + ": cannot clear the log");
    FLink.Pump(100);
    Trace("unplug");
    FDevice.Command("unplug " + std::to_string(UnplugMs));
    const uint64_t atUnplug = check.NextOffset();
    Require(FLink.PumpUntilClosed(StepTimeoutMs), when + ": the bridge kept its client after the unplug");
    Trace(("link closed, " + std::to_string(check.NextOffset() - atUnplug) + " bytes after the unplug, " +
           Describe(check.Counts()))
              .c_str());
    check.MarkBreak();
    const uint64_t lostBefore = check.BreakLostBytes();
    Reconnect(wizard, check, when);
    Require(FLink.Pump(RelayMs), when + ": the setup program was dropped after the replug");
    RequireNoGapInSession(wizard, check, when);
    FFigures.unplugLoss.push_back(static_cast<double>(check.BreakLostBytes() - lostBefore));
    const std::string log = CopyLogOfThisCycle(wizard, check, when);
    FFigures.unplugAttempts.push_back(static_cast<double>(Count(log, ReopenAttempt)));
    resources.Sample(wizard.Pid());
    if (cycle % 10 == 0 || cycle == FPlan.unplugs)
      Say("unplug cycle %d: %.0f bytes lost\n", cycle, FFigures.unplugLoss.back());
  }

  // The log since the unplug; it must name the reopened port. Records just
  // relayed in it show that the clipboard holds this cycle's copy.
  std::string CopyLogOfThisCycle(TWizard &wizard, const TRecordCheck &check, const std::string &when) {
    const uint64_t last = check.NextOffset() / RecordSize - 1;
    std::string log;
    for (int attempt = 0; attempt < 5; ++attempt) {
      log = wizard.Driver().CopyLog();
      bool fresh = false;
      for (uint64_t back = 0; back < 8 && back <= last && !fresh; ++back)
        fresh = log.find(RecordText(last - back)) != std::string::npos;
      if (fresh && log.find(Reopened) != std::string::npos)
        return log;
      FLink.Pump(300);
    }
    Fail(when + ": no \"" + Reopened + "\" in the log window after the replug; it held:\n" + log.substr(0, 4000));
  }

  void ClientCycle(TWizard &wizard, TRecordCheck &check, int cycle, TResourceTrack &resources) {
    const std::string when = "setup program reconnect " + std::to_string(cycle);
    Require(FLink.Pump(RelayMs / 2), when + ": the setup program was dropped");
    FLink.Close(); // benchclient closes its connection to the bridge, then connects again
    check.MarkBreak();
    const uint64_t lostBefore = check.BreakLostBytes();
    Reconnect(wizard, check, when);
    RequireNoGapInSession(wizard, check, when);
    FFigures.clientLoss.push_back(static_cast<double>(check.BreakLostBytes() - lostBefore));
    resources.Sample(wizard.Pid());
    if (cycle % 50 == 0 || cycle == FPlan.clients)
      Say("setup program reconnect %d\n", cycle);
  }

  // "Отключить" ends the setup program, which closes its link, and empties
  // the private folder.
  void Disconnect(TWizard &wizard, const std::string &when) {
    Trace("disconnect click");
    Require(ClickLabel(wizard), "cannot click the connect label");
    Require(FLink.PumpUntilClosed(StepTimeoutMs), when + ": the setup program still runs after the disconnect");
    wizard.RequireCleanFolder(when);
    Require(wizard.Running(), when + ": the wizard has ended");
  }

  // Relays until the device has had `expected` records back.
  TRecordCounts AwaitEcho(TSimulator &simulator, uint64_t expected, const std::string &when) {
    const auto end = Clock::now() + std::chrono::milliseconds(StepTimeoutMs);
    TRecordCounts echoed = Echoed(simulator);
    while (echoed.records < expected && Clock::now() < end) {
      Require(FLink.Pump(100), when + ": the setup program was dropped");
      echoed = Echoed(simulator);
    }
    Require(echoed.records >= expected, when + ": the device did not get all records back: " + Describe(echoed));
    return echoed;
  }

  // Whole connections through the label: a second of records both ways,
  // none lost, then the disconnect.
  void LabelCycles(TWizard &wizard, TSimulator &simulator, const std::string &phase, int cycles, long baud,
                   int connectTimeoutMs) {
    TResourceTrack resources(phase);
    const long bytes = SecondOfRecords(baud);
    for (int cycle = 1; cycle <= cycles; ++cycle) {
      const std::string when = phase + ", cycle " + std::to_string(cycle);
      TRecordCheck check;
      DropStaleLinks();
      Trace("connect click");
      Require(ClickLabel(wizard), "cannot click the connect label");
      OpenSession(wizard, check, connectTimeoutMs, when);
      Trace("session");
      simulator.Command("records " + std::to_string(baud) + " " + std::to_string(bytes));
      const auto expected = static_cast<uint64_t>(bytes) / RecordSize;
      if (!FLink.PumpUntil([&] { return check.Counts().records >= expected; }, StepTimeoutMs))
        Fail(when + ": the records did not all arrive" + (FLink.IsOpen() ? "" : " (the session ended)") + ": " +
             Describe(check.Counts()) + LogTail(wizard));
      const TRecordCounts echoed = AwaitEcho(simulator, expected, when);
      Require(check.Counts().gaps == 0 && check.Counts().records == expected,
              when + ": the setup program got " + Describe(check.Counts()));
      Require(echoed.gaps == 0 && echoed.records == expected, when + ": the device got back " + Describe(echoed));
      RequireClean(check.Counts(), when);
      RequireClean(echoed, when + ", echo");
      FFigures.labelRecords += 2 * expected;
      Disconnect(wizard, when);
      resources.Sample(wizard.Pid());
      if (cycle % 10 == 0 || cycle == cycles)
        Say("%s: cycle %d\n", phase.c_str(), cycle);
    }
    Keep(resources);
  }

  void Keep(const TResourceTrack &track) {
    if (track.Cycles() > 0)
      FFigures.resources.push_back(track);
  }

  TPlan FPlan;
  TScratch FScratch{"tandrel-soak"};
  TXDisplay FDisplay;
  TLinkServer FLinkServer;
  TEchoLink FLink;
  // Paced: the device takes the bridge's bytes no faster than the line speed.
  TSimulator FDevice{FScratch.Path(), "device", "port-device", SIMDEVICE_BIN, {"--mode", "records", "--paced", "on"}};
  TSimulator FModem{FScratch.Path(), "modem", "port-modem", SIMMODEM_BIN, {"--mode", "records", "--paced", "on"}};
  TFigures FFigures;
  Clock::time_point FLastClick;
};

void PrintFigures(const TPlan &plan, const TFigures &figures) {
  const TSpread loss = SpreadOf(figures.unplugLoss);
  const TSpread attempts = SpreadOf(figures.unplugAttempts);
  const TSpread clientLoss = SpreadOf(figures.clientLoss);
  std::printf("\nsoak: %d unplugs, %d setup program reconnects, %d cable and %d modem connections, %.0f s\n",
              plan.unplugs, plan.clients, plan.cable, plan.modem, figures.seconds);
  std::printf("bytes lost per unplug (device -> setup program, %ld baud): min %.0f median %.0f max %.0f\n", CableBaud,
              loss.min, loss.median, loss.max);
  std::printf("reopen attempts per unplug: min %.0f median %.0f max %.0f; every unplug ended in \"%s\"\n",
              attempts.min, attempts.median, attempts.max, Reopened.c_str());
  std::printf("bytes sent while no setup program was connected, per reconnect: min %.0f median %.0f max %.0f\n",
              clientLoss.min, clientLoss.median, clientLoss.max);
  std::printf("streaming phases, setup program got: %s\n", Describe(figures.receivedContinuous).c_str());
  std::printf("streaming phases, device got back:   %s\n", Describe(figures.echoedContinuous).c_str());
  std::printf("whole connections: %llu records both ways, none lost\n",
              static_cast<unsigned long long>(figures.labelRecords));
  std::printf("%-26s | cycles | fds first/last | threads first/last | RSS first/last (KiB)\n", "phase");
  for (const TResourceTrack &track : figures.resources)
    std::printf("%-26s | %6zu | %5ld / %-5ld   | %5ld / %-5ld       | %ld / %ld\n", track.Phase().c_str(),
                track.Cycles(), track.First().fds, track.Last().fds, track.First().threads, track.Last().threads,
                track.First().rssKiB, track.Last().rssKiB);
}

} // namespace

int main(int argc, char **argv) {
  TPlan plan;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    int *count = option == "--unplugs" ? &plan.unplugs
                 : option == "--clients" ? &plan.clients
                 : option == "--cable"   ? &plan.cable
                 : option == "--modem"   ? &plan.modem
                                         : nullptr;
    if (option == "--short")
      plan = TPlan{5, 20, 3, 2, plan.keep};
    else if (option == "--keep")
      plan.keep = true;
    else if (count && i + 1 < argc && std::atoi(argv[i + 1]) >= 0)
      *count = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: tandrel-soak [--short] [--unplugs N] [--clients N] [--cable N] [--modem N] [--keep]\n");
      return 2;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  try {
    TSoak soak(plan);
    const TFigures figures = soak.Run();
    PrintFigures(plan, figures);
    std::string problems;
    for (const TResourceTrack &track : figures.resources)
      if (const std::string problem = track.Problem(RssSlackKiB); !problem.empty())
        problems += "\n  " + problem;
    if (!problems.empty()) {
      std::fprintf(stderr, "tandrel-soak: FAILED: the wizard's resources grew:%s\n", problems.c_str());
      return 1;
    }
    std::printf("soak: passed\n");
    return 0;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tandrel-soak: FAILED: %s\n%s", error.what(),
                 plan.keep ? "" : "(--keep leaves the scratch folder with the logs in place)\n");
    return 1;
  }
}
