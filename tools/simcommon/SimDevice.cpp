#include "SimDevice.h"

#include "Escapes.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

const std::string IdentificationRequest = "+VER_INFO=?\r\n";
constexpr long StreamTickMs = 10;

TDeviceMode ParseMode(const std::string &text) {
  if (text == "echo")
    return TDeviceMode::Echo;
  if (text == "protocol")
    return TDeviceMode::Protocol;
  if (text == "sink")
    return TDeviceMode::Sink;
  if (text == "records")
    return TDeviceMode::Records;
  throw std::invalid_argument("unknown mode: " + text);
}

// A count of up to 65535 bytes, in decimal digits.
bool IsBlockSize(const std::string &text) {
  return !text.empty() && text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos &&
         std::stol(text) <= 65535;
}

} // namespace

bool ParseDeviceOption(const std::string &name, const TOptionValue &value, TDeviceConfig &config) {
  if (name == "--reply")
    config.reply = DecodeEscapes(value());
  else if (name == "--mode")
    config.mode = ParseMode(value());
  else if (name == "--echo-request")
    config.echoRequest = ParseOnOff(value());
  else if (name == "--split")
    config.splitAt = static_cast<size_t>(ParseCount(value()));
  else if (name == "--silent")
    config.silent = ParseOnOff(value());
  else
    return false;
  return true;
}

TSimDevice::TSimDevice(const TDeviceConfig &config, TSimLine &line)
    : FConfig(config), FLine(line), FValues{{"serial", "SN000001"}, {"firmware", "DEMO.1.0"}} {}

void TSimDevice::Reset() {
  FIdentified = false;
  FTail.clear();
  FLineInput.clear();
  FStream.reset();
  if (FStreamTimer)
    FLine.Timers().Cancel(*FStreamTimer);
  FStreamTimer.reset();
}

void TSimDevice::OnReceived(std::string_view bytes) {
  std::string echo;
  for (const char byte : bytes) {
    if (FIdentified)
      HandleData(byte, echo);
    if (!FIdentified || FConfig.mode != TDeviceMode::Protocol)
      ScanForRequest(byte);
    if (FTail == IdentificationRequest) {
      FLine.Send(echo);
      echo.clear();
      FTail.clear();
      Identify();
    }
  }
  FLine.Send(echo);
}

void TSimDevice::ScanForRequest(char byte) {
  FTail += byte;
  if (FTail.size() > IdentificationRequest.size())
    FTail.erase(0, 1);
}

// Every identification starts a new session, so a bridge that reconnects
// finds the device as after power-on.
void TSimDevice::Identify() {
  if (FConfig.silent)
    return;
  FIdentified = true;
  FLineInput.clear();
  FSinkCount = 0;
  FSinkMismatchAt.reset();
  FRecords = TRecordCheck();
  SendAnswer((FConfig.echoRequest ? IdentificationRequest : std::string()) + FConfig.reply);
}

void TSimDevice::SendAnswer(const std::string &answer) {
  if (FConfig.splitAt == 0 || FConfig.splitAt >= answer.size()) {
    FLine.Send(answer);
    return;
  }
  FLine.Send(answer.substr(0, FConfig.splitAt));
  FLine.SendLater(FConfig.splitPauseMs, answer.substr(FConfig.splitAt));
}

void TSimDevice::HandleData(char byte, std::string &echo) {
  switch (FConfig.mode) {
  case TDeviceMode::Echo:
    echo += byte;
    break;
  case TDeviceMode::Sink:
    SinkByte(byte);
    break;
  case TDeviceMode::Records:
    FRecords.Feed(std::string_view(&byte, 1));
    break;
  case TDeviceMode::Protocol:
    if (byte != '\n') {
      FLineInput += byte;
      break;
    }
    if (!FLineInput.empty() && FLineInput.back() == '\r')
      FLineInput.pop_back();
    HandleProtocolLine(std::exchange(FLineInput, std::string()));
    break;
  }
}

void TSimDevice::HandleProtocolLine(std::string line) {
  const size_t space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
  const size_t valueStart = rest.find(' ');
  if (line + "\r\n" == IdentificationRequest)
    Identify();
  else if (line == "PING")
    SendAnswer("PONG\r\n");
  else if (verb == "GET" && rest == "uptime")
    SendAnswer("uptime=" + std::to_string(UptimeSeconds()) + "\r\n");
  else if (verb == "GET" && FValues.contains(rest))
    SendAnswer(rest + "=" + FValues[rest] + "\r\n");
  else if (verb == "READ" && IsBlockSize(rest))
    SendAnswer(Block(std::stol(rest)) + "\r\n");
  else if (verb == "SET" && valueStart != std::string::npos && valueStart > 0) {
    FValues[rest.substr(0, valueStart)] = rest.substr(valueStart + 1);
    SendAnswer("OK\r\n");
  } else
    SendAnswer("ERROR\r\n");
}

long TSimDevice::UptimeSeconds() const {
  const auto up = std::chrono::steady_clock::now() - FPoweredOn;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(up).count());
}

void TSimDevice::SinkByte(char byte) {
  if (!FSinkMismatchAt && byte != PatternByte(FSinkCount))
    FSinkMismatchAt = FSinkCount;
  ++FSinkCount;
}

std::string TSimDevice::SinkReport() const {
  const std::string count = std::to_string(FSinkCount);
  if (FSinkMismatchAt)
    return "OK " + count + " mismatch " + std::to_string(*FSinkMismatchAt);
  return "OK " + count + " pattern";
}

std::string TSimDevice::RecordReport() const {
  const TRecordCounts &counts = FRecords.Counts();
  return "OK records " + std::to_string(counts.records) + " gaps " + std::to_string(counts.gaps) + " lost " +
         std::to_string(counts.lostBytes) + " duplicates " + std::to_string(counts.duplicates) + " corrupt " +
         std::to_string(counts.corrupt);
}

// A block of `count` pattern bytes, as a device answers a read of its memory.
std::string TSimDevice::Block(long count) {
  std::string bytes;
  for (long i = 0; i < count; ++i)
    bytes += PatternByte(static_cast<unsigned long long>(i));
  return bytes;
}

std::string TSimDevice::Garbage(long count) {
  std::string bytes;
  std::uniform_int_distribution<int> byteValue(0, 255);
  for (long i = 0; i < count; ++i)
    bytes += static_cast<char>(byteValue(FRandom));
  return bytes;
}

void TSimDevice::StartStream(long baud, long bytes, bool numbered) {
  if (baud <= 0)
    throw std::invalid_argument("baud rate must be positive");
  if (FStreamTimer)
    FLine.Timers().Cancel(*FStreamTimer);
  FStream = TStream{std::chrono::steady_clock::now(), baud / 10.0, bytes, 0, numbered};
  StreamDue();
}

// Sends what is due by now at the stream's rate, then comes back a tick later.
void TSimDevice::StreamDue() {
  FStreamTimer.reset();
  if (!FStream)
    return;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - FStream->start;
  const long due = std::min(FStream->total, static_cast<long>(elapsed.count() * FStream->bytesPerSecond) + 1);
  std::string chunk;
  for (; FStream->sent < due; ++FStream->sent) {
    const auto offset = static_cast<unsigned long long>(FStream->sent);
    chunk += FStream->numbered ? RecordByte(offset) : PatternByte(offset);
  }
  FLine.Send(chunk);
  if (FStream->sent < FStream->total)
    FStreamTimer = FLine.Timers().Schedule(StreamTickMs, [this] { StreamDue(); });
  else
    FStream.reset();
}

// "N" or "N MS": where the answer is cut and, optionally, the pause between its parts.
void TSimDevice::SetSplit(const std::string &argument) {
  const size_t space = argument.find(' ');
  FConfig.splitAt = static_cast<size_t>(ParseCount(argument.substr(0, space)));
  if (space != std::string::npos)
    FConfig.splitPauseMs = ParseCount(argument.substr(space + 1));
}

std::string TSimDevice::OnCommand(const std::string &name, const std::string &argument) {
  if (name == "echo-request")
    FConfig.echoRequest = ParseOnOff(argument);
  else if (name == "split")
    SetSplit(argument);
  else if (name == "silent")
    FConfig.silent = ParseOnOff(argument);
  else if (name == "reply")
    FConfig.reply = DecodeEscapes(argument);
  else if (name == "send")
    FLine.Send(DecodeEscapes(argument));
  else if (name == "garbage")
    FLine.Send(Garbage(ParseCount(argument)));
  else if (name == "sinkcheck")
    return SinkReport();
  else if (name == "recordcheck")
    return RecordReport();
  else if (name == "stream" || name == "records") {
    const size_t space = argument.find(' ');
    if (space == std::string::npos)
      throw std::invalid_argument("usage: " + name + " BAUD BYTES");
    StartStream(ParseCount(argument.substr(0, space)), ParseCount(argument.substr(space + 1)), name == "records");
  } else
    return {};
  return "OK";
}
