#pragma once
// The wizard as the benchmark runs it, and the steps every measurement takes
// with it: connect at a line speed (the measuring client's link comes back),
// disconnect, socat on the same device once the wizard has let the port go.

#include "ChildProcess.h"
#include "Flows.h"
#include "LocalSockets.h"
#include "PeerRelays.h"
#include "WizardDriver.h"
#include "WizardRig.h"
#include "XDisplay.h"

#include <string>
#include <vector>

// The device of the flows: it checks what it is sent and takes it no faster
// than the line speed the bridge set, as a UART does.
inline const std::vector<std::string> PacedSinkOptions{"--mode", "sink", "--paced", "on"};

// A process's time on a CPU since the meter was made, in per cent of one core.
class TCpuMeter {
public:
  explicit TCpuMeter(pid_t pid);
  double Percent() const;

private:
  pid_t FPid;
  double FCpuBefore;
  TInstant FStart;
};

class TBenchRig {
public:
  explicit TBenchRig(bool fixedPacing) : FFixedPacing(fixedPacing) {}

  const fs::path &Root() const { return FScratch.Path(); }
  bool FixedPacing() const { return FFixedPacing; }
  // The display, then the wizard with `device`'s port stored, on a free TCP port.
  void Start(const TSimulator &device);
  void Stop();
  pid_t WizardPid() const { return FWizard.Pid(); }
  TWizardDriver &Driver() { return FDriver; }

  // Sets the line speed, clicks connect and waits for the measuring client
  // to reach us; returns its link.
  int Connect(const TSimulator &device, long baud);
  // Disconnecting a cable connection ends the measuring client.
  void Disconnect(int fd);
  // See TSocatRelay::Start for `noDelay`.
  void StartSocat(TSocatRelay &socat, const TSimulator &device, long baud, bool noDelay = false);
  TFlowOutcome Flow(int fd, TSimulator &device, const TFlowPlan &plan);

private:
  bool FFixedPacing;
  TScratch FScratch{"tandrel-bench"};
  TXDisplay FDisplay;
  TWizardDriver FDriver{FDisplay};
  TLinkServer FLinkServer;
  TChildProcess FWizard;
};
