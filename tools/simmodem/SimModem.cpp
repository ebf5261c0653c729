#include "SimModem.h"

#include "Options.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>

namespace {

constexpr long LateOkMs = 300;
const std::vector<std::string> DialOutcomes{"CONNECT", "BUSY", "NO CARRIER", "NO DIALTONE", "NO ANSWER", "SILENT"};
const std::string Ok = "\r\nOK\r\n";

std::string UpperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

std::string ParseDialOutcome(const std::string &text) {
  const std::string outcome = UpperCase(text);
  if (std::find(DialOutcomes.begin(), DialOutcomes.end(), outcome) == DialOutcomes.end())
    throw std::invalid_argument("unknown dial outcome: " + text);
  return outcome;
}

std::vector<std::string> ParseCregSequence(const std::string &text) {
  std::vector<std::string> answers;
  size_t start = 0;
  for (size_t end; (end = text.find(';', start)) != std::string::npos; start = end + 1)
    answers.push_back(text.substr(start, end - start));
  answers.push_back(text.substr(start));
  if (std::any_of(answers.begin(), answers.end(), [](const std::string &a) { return a.empty(); }))
    throw std::invalid_argument("empty answer in the CREG sequence: " + text);
  return answers;
}

} // namespace

bool ParseModemOption(const std::string &name, const TOptionValue &value, TModemConfig &config) {
  if (name == "--late-ok")
    config.lateOk = true;
  else if (name == "--echo")
    config.echo = ParseOnOff(value());
  else if (name == "--creg")
    config.creg = ParseCregSequence(value());
  else if (name == "--dial")
    config.dialOutcome = ParseDialOutcome(value());
  else if (name == "--reply-delay")
    config.replyDelayMs = ParseCount(value());
  else if (name == "--guard")
    config.guardMs = ParseCount(value());
  else
    return ParseDeviceOption(name, value, config.device);
  return true;
}

TSimModem::TSimModem(const TModemConfig &config, TSimLine &line)
    : FConfig(config), FLine(line), FDevice(config.device, line), FEcho(config.echo) {}

void TSimModem::OnReceived(std::string_view bytes) {
  std::string echo;
  size_t i = 0;
  for (; i < bytes.size() && !FDataMode; ++i)
    ReceiveCommandByte(bytes[i], echo);
  FLine.Send(echo);
  if (i < bytes.size())
    ReceiveData(bytes.substr(i));
}

void TSimModem::ReceiveCommandByte(char byte, std::string &echo) {
  if (byte == '\n')
    return; // CR ends a command line; the LF of a CR LF is ignored, not even echoed
  if (FEcho)
    echo += byte;
  if (byte != '\r') {
    FCommandLine += byte;
    return;
  }
  FLine.Send(std::exchange(echo, std::string())); // the echo comes before the answer
  const std::string line = std::exchange(FCommandLine, std::string());
  if (!line.empty())
    Execute(line);
}

void TSimModem::Execute(const std::string &line) {
  const std::string command = UpperCase(line);
  const bool afterAtz = FPreviousCommand == "ATZ";
  FPreviousCommand = command;
  if (command == "ATZ") {
    FEcho = FConfig.echo;
    Answer(Ok, FConfig.lateOk && afterAtz ? LateOkMs : 0);
  } else if (command == "ATE0" || command == "ATE1") {
    FEcho = command == "ATE1";
    Answer(Ok);
  } else if (command == "AT" || command == "AT+CBST=7,0,1" || command == "ATH" || command == "ATH0")
    Answer(Ok);
  else if (command == "AT+CREG?")
    Answer("\r\n+CREG: " + NextCreg() + "\r\n" + Ok);
  else if (command.starts_with("ATD"))
    Dial(line.substr(3));
  else
    Answer("\r\nERROR\r\n");
}

std::string TSimModem::NextCreg() {
  const std::string &answer = FConfig.creg[std::min(FCregIndex, FConfig.creg.size() - 1)];
  ++FCregIndex;
  return answer;
}

void TSimModem::Dial(const std::string &number) {
  FDialled = number;
  const std::string &outcome = FConfig.dialOutcome;
  if (outcome == "SILENT")
    return;
  if (outcome != "CONNECT") {
    Answer("\r\n" + outcome + "\r\n");
    return;
  }
  Answer("\r\nCONNECT 9600\r\n");
  FDataMode = true;
  FPlusRun = 0;
  FEscapeCandidate = false;
  FDevice.Reset(); // a new call reaches the device as after power-on
}

void TSimModem::Answer(const std::string &text, long extraDelayMs) {
  FLine.SendLater(FConfig.replyDelayMs + extraDelayMs, text);
}

void TSimModem::ReceiveData(std::string_view bytes) {
  TrackEscape(bytes);
  FDevice.OnReceived(bytes);
}

// "+++" counts only when it starts a read of its own (the data before it came
// earlier) and nothing follows for the guard time, so "+++" inside data passes.
void TSimModem::TrackEscape(std::string_view bytes) {
  if (FEscapeTimer) {
    FLine.Timers().Cancel(*FEscapeTimer);
    FEscapeTimer.reset();
  }
  if (FPlusRun == 0)
    FEscapeCandidate = true;
  for (const char byte : bytes) {
    if (FEscapeCandidate && byte == '+' && FPlusRun < 3) {
      ++FPlusRun;
      continue;
    }
    FEscapeCandidate = false;
    FPlusRun = 0;
  }
  if (FEscapeCandidate && FPlusRun == 3)
    FEscapeTimer = FLine.Timers().Schedule(FConfig.guardMs, [this] { EscapeToCommandMode(); });
}

void TSimModem::EscapeToCommandMode() {
  FEscapeTimer.reset();
  ToCommandMode();
  FLine.Send(Ok);
}

void TSimModem::ToCommandMode() {
  FDataMode = false;
  FPlusRun = 0;
  FEscapeCandidate = false;
  FCommandLine.clear();
  FPreviousCommand.clear();
  if (FEscapeTimer)
    FLine.Timers().Cancel(*FEscapeTimer);
  FEscapeTimer.reset();
  FDevice.Reset();
}

void TSimModem::OnUnplug() {
  ToCommandMode();
  FEcho = FConfig.echo;
}

std::string TSimModem::OnCommand(const std::string &name, const std::string &argument) {
  if (name == "state")
    return FDataMode ? "OK data" : "OK command";
  if (name == "dialled")
    return "OK " + FDialled;
  if (name == "dial")
    FConfig.dialOutcome = ParseDialOutcome(argument);
  else if (name == "creg") {
    FConfig.creg = ParseCregSequence(argument);
    FCregIndex = 0;
  } else if (name == "hangup") {
    if (!FDataMode)
      return "ERR no call";
    ToCommandMode();
    FLine.Send("\r\nNO CARRIER\r\n");
  } else
    return FDevice.OnCommand(name, argument);
  return "OK";
}
