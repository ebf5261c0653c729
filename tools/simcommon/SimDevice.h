#pragma once
// The simulated field device: answers the identification request, then
// echoes, serves a tiny line protocol (with an XMODEM upload run by Debian's
// rx), serves Modbus RTU, or swallows and checks what arrives.

#include "LineProgram.h"
#include "ModbusUnit.h"
#include "Options.h"
#include "RecordStream.h"
#include "SimLine.h"

#include <map>
#include <optional>
#include <random>
#include <string>

enum class TDeviceMode { Echo, Protocol, Sink, Records, Modbus };

// The unit address the device answers Modbus requests for.
constexpr uint8_t ModbusUnitAddress = 1;

struct TDeviceConfig {
  std::string reply = "+VER_INFO: \"SIM\",DEMO.1.0,SN000001\r\nOK\r\n";
  TDeviceMode mode = TDeviceMode::Echo;
  bool echoRequest = false;
  size_t splitAt = 0; // 0: the answer goes out in one write
  long splitPauseMs = 50;
  bool silent = false;
  std::string uploadFile; // where an upload is received; empty: UPLOAD is refused
};

// Takes --reply, --mode, --echo-request, --split, --silent and --upload-file;
// false for others.
bool ParseDeviceOption(const std::string &name, const TOptionValue &value, TDeviceConfig &config);

class TSimDevice {
public:
  TSimDevice(const TDeviceConfig &config, TSimLine &line);

  void OnReceived(std::string_view bytes);
  // See TSimBehaviour::OnCommand.
  std::string OnCommand(const std::string &name, const std::string &argument);
  // Back to the state before identification; stops a running stream.
  void Reset();

private:
  void ScanForRequest(char byte);
  void Identify();
  void HandleData(char byte, std::string &echo);
  void HandleProtocolLine(std::string line);
  void StartUpload();
  void UploadOutput();
  void StopUpload(int graceMs);
  std::string UploadReport() const;
  void FrameModbus();
  void AnswerModbus(std::string_view frame);
  void SendAtLineRate(const std::string &bytes, long delayMs);
  long UptimeSeconds() const;
  void SinkByte(char byte);
  void SendAnswer(const std::string &answer);
  void SetSplit(const std::string &argument);
  std::string Block(long count);
  std::string Garbage(long count);
  void StartStream(long baud, long bytes, bool numbered);
  void StreamDue();
  std::string SinkReport() const;
  std::string RecordReport() const;

  TDeviceConfig FConfig;
  TSimLine &FLine;
  bool FIdentified = false;
  std::string FTail;      // last bytes seen, to spot the request in a byte stream
  std::string FLineInput; // protocol mode: the line being received
  std::map<std::string, std::string> FValues;
  const std::chrono::steady_clock::time_point FPoweredOn = std::chrono::steady_clock::now();
  unsigned long long FSinkCount = 0;
  std::optional<unsigned long long> FSinkMismatchAt;
  TRecordCheck FRecords;
  std::minstd_rand FRandom{20240601};
  TLineProgram FUploadReceiver; // rx, once the bridge asked for an upload
  TModbusUnit FModbus{ModbusUnitAddress};
  std::string FModbusInput; // the frame being received
  std::optional<TTimerQueue::TId> FModbusSilence;

  struct TStream {
    std::chrono::steady_clock::time_point start;
    double bytesPerSecond;
    long total;
    long sent;
    bool numbered; // the record stream instead of the pattern
  };
  std::optional<TStream> FStream;
  std::optional<TTimerQueue::TId> FStreamTimer;
};

// Byte i of the stream pattern that `stream` sends and `sinkcheck` expects.
inline char PatternByte(unsigned long long i) { return static_cast<char>(i % 251); }
