#pragma once
// The simulated GSM modem: an AT command dialogue, and after CONNECT a data
// call through to a simulated device.

#include "SimDevice.h"
#include "SimLine.h"

#include <string>
#include <vector>

struct TModemConfig {
  bool echo = true;
  std::vector<std::string> creg{"0,1"}; // answers to AT+CREG? in turn; the last repeats
  std::string dialOutcome = "CONNECT";  // CONNECT, BUSY, NO CARRIER, NO DIALTONE, NO ANSWER or SILENT
  bool lateOk = false;                  // the OK to an ATZ right after an ATZ comes late
  long replyDelayMs = 0;
  long guardMs = 100; // silence after "+++" before it counts as an escape
  TDeviceConfig device;
};

// Takes --echo, --creg, --dial, --late-ok (no value), --reply-delay, --guard and
// the device options; false for any other option.
bool ParseModemOption(const std::string &name, const TOptionValue &value, TModemConfig &config);

class TSimModem : public TSimBehaviour {
public:
  TSimModem(const TModemConfig &config, TSimLine &line);

  void OnReceived(std::string_view bytes) override;
  std::string OnCommand(const std::string &name, const std::string &argument) override;
  void OnUnplug() override;

private:
  void ReceiveCommandByte(char byte, std::string &echo);
  void Execute(const std::string &line);
  void Dial(const std::string &number);
  void Answer(const std::string &text, long extraDelayMs = 0);
  void ReceiveData(std::string_view bytes);
  void TrackEscape(std::string_view bytes);
  void EscapeToCommandMode();
  void ToCommandMode();
  std::string NextCreg();

  TModemConfig FConfig;
  TSimLine &FLine;
  TSimDevice FDevice;
  bool FDataMode = false;
  bool FEcho;
  std::string FCommandLine;
  std::string FPreviousCommand;
  size_t FCregIndex = 0;
  std::string FDialled;
  // Escape detection: "+++" starting a read of its own, then silence.
  int FPlusRun = 0;
  bool FEscapeCandidate = false;
  std::optional<TTimerQueue::TId> FEscapeTimer;
};
