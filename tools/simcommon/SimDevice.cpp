#include "SimDevice.h"

#include "Escapes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace {

const std::string IdentificationRequest = "+VER_INFO=?\r\n";
constexpr long StreamTickMs = 10;
// rx ends right after it closes its output; a hung one is ended after this.
constexpr int UploadExitMs = 1000;
// A Modbus frame of unknown length ends at the line's silence, but the
// receive pacer hands bytes over every 2 ms: a shorter wait would cut frames
// that the line carried whole.
constexpr long MinModbusSilenceMs = 5;

void CancelTimer(TTimerQueue &timers, std::optional<TTimerQueue::TId> &timer) {
  if (timer)
    timers.Cancel(*timer);
  timer.reset();
}

// The end of an RTU frame is the line quiet for 3.5 characters (ten bits
// each here), at least 1.75 ms at the higher speeds.
double ModbusFrameGapMs(long baud) { return baud > 0 ? std::max(1.75, 35000.0 / baud) : 1.75; }

TDeviceMode ParseMode(const std::string &text) {
  if (text == "echo")
    return TDeviceMode::Echo;
  if (text == "protocol")
    return TDeviceMode::Protocol;
  if (text == "sink")
    return TDeviceMode::Sink;
  if (text == "records")
    return TDeviceMode::Records;
  if (text == "modbus")
    return TDeviceMode::Modbus;
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
  else if (name == "--upload-file")
    config.uploadFile = value();
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
  CancelTimer(FLine.Timers(), FStreamTimer);
  FModbusInput.clear();
  CancelTimer(FLine.Timers(), FModbusSilence);
  StopUpload(0);
}

void TSimDevice::OnReceived(std::string_view bytes) {
  std::string echo;
  for (size_t i = 0; i < bytes.size(); ++i) {
    // Once an upload is asked for, the loader has the line to itself.
    if (FUploadReceiver.IsRunning()) {
      if (const size_t lost = FUploadReceiver.Write(bytes.substr(i)))
        std::fprintf(stderr, "upload: %zu bytes overran the receiver\n", lost);
      break;
    }
    const char byte = bytes[i];
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
  if (FIdentified && FConfig.mode == TDeviceMode::Modbus)
    FrameModbus();
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
  FModbusInput.clear();
  CancelTimer(FLine.Timers(), FModbusSilence);
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
  case TDeviceMode::Modbus:
    FModbusInput += byte;
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
  else if (line == "UPLOAD")
    StartUpload();
  else if (verb == "SET" && valueStart != std::string::npos && valueStart > 0) {
    FValues[rest.substr(0, valueStart)] = rest.substr(valueStart + 1);
    SendAnswer("OK\r\n");
  } else
    SendAnswer("ERROR\r\n");
}

// An XMODEM receive by Debian's rx into the upload file, after "OK". rx
// takes no path with a folder in it, so it runs in the file's folder.
void TSimDevice::StartUpload() {
  if (FConfig.uploadFile.empty()) {
    SendAnswer("ERROR\r\n");
    return;
  }
  const std::filesystem::path file(FConfig.uploadFile);
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  try {
    FUploadReceiver.Start({"rx", "--binary", "--with-crc", "--quiet", file.filename().string()},
                          file.has_parent_path() ? file.parent_path().string() : ".");
  } catch (const std::runtime_error &error) {
    std::fprintf(stderr, "upload: %s\n", error.what());
    SendAnswer("ERROR\r\n");
    return;
  }
  SendAnswer("OK\r\n");
  FLine.Watch(FUploadReceiver.Fd(), [this] { UploadOutput(); });
}

void TSimDevice::UploadOutput() {
  std::string bytes;
  const bool open = FUploadReceiver.Read(bytes);
  FLine.Send(bytes);
  if (!open)
    StopUpload(UploadExitMs);
}

void TSimDevice::StopUpload(int graceMs) {
  if (FUploadReceiver.Fd() >= 0)
    FLine.Unwatch(FUploadReceiver.Fd());
  FUploadReceiver.Stop(graceMs);
}

std::string TSimDevice::UploadReport() const {
  if (FUploadReceiver.IsRunning())
    return "OK running";
  const std::optional<int> code = FUploadReceiver.ExitCode();
  return code ? "OK exit " + std::to_string(*code) : "OK none";
}

// A frame of a length its function tells is answered as soon as it is
// whole; any other once the line has been quiet for a while.
void TSimDevice::FrameModbus() {
  CancelTimer(FLine.Timers(), FModbusSilence);
  size_t length;
  while ((length = TModbusUnit::RequestLength(FModbusInput)) != 0 && FModbusInput.size() >= length) {
    AnswerModbus(std::string_view(FModbusInput).substr(0, length));
    FModbusInput.erase(0, length);
  }
  if (FModbusInput.empty())
    return;
  const auto silenceMs = std::max(MinModbusSilenceMs, std::lround(std::ceil(ModbusFrameGapMs(FLine.LineSpeed()))));
  FModbusSilence = FLine.Timers().Schedule(silenceMs, [this] {
    FModbusSilence.reset();
    AnswerModbus(std::exchange(FModbusInput, std::string()));
  });
}

// The unit knows the request has ended only after the frame gap; then the
// reply goes out at the line's pace.
void TSimDevice::AnswerModbus(std::string_view frame) {
  const std::string reply = FModbus.Answer(frame);
  if (!reply.empty())
    SendAtLineRate(reply, std::lround(std::ceil(ModbusFrameGapMs(FLine.LineSpeed()))));
}

// In the pieces a UART sends each millisecond, starting `delayMs` from now;
// at once when the speed is not known.
void TSimDevice::SendAtLineRate(const std::string &bytes, long delayMs) {
  const long baud = FLine.LineSpeed();
  if (baud <= 0) {
    FLine.SendLater(delayMs, bytes);
    return;
  }
  const double bytesPerMs = baud / 10000.0;
  std::string piece;
  long pieceMs = delayMs;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const long ms = delayMs + static_cast<long>(static_cast<double>(i) / bytesPerMs);
    if (ms != pieceMs)
      FLine.SendLater(pieceMs, std::exchange(piece, std::string()));
    pieceMs = ms;
    piece += bytes[i];
  }
  FLine.SendLater(pieceMs, piece);
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
  CancelTimer(FLine.Timers(), FStreamTimer);
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
  else if (name == "uploadcheck")
    return UploadReport();
  else if (name == "stream" || name == "records") {
    const size_t space = argument.find(' ');
    if (space == std::string::npos)
      throw std::invalid_argument("usage: " + name + " BAUD BYTES");
    StartStream(ParseCount(argument.substr(0, space)), ParseCount(argument.substr(space + 1)), name == "records");
  } else
    return {};
  return "OK";
}
