#pragma once
// The simulated field device: answers the identification request, then
// echoes, serves a tiny line protocol, or swallows and checks what arrives.

#include "Options.h"
#include "RecordStream.h"
#include "SimLine.h"

#include <map>
#include <optional>
#include <random>
#include <string>

enum class TDeviceMode { Echo, Protocol, Sink, Records };

struct TDeviceConfig {
  std::string reply = "+VER_INFO: \"SIM\",DEMO.1.0,SN000001\r\nOK\r\n";
  TDeviceMode mode = TDeviceMode::Echo;
  bool echoRequest = false;
  size_t splitAt = 0; // 0: the answer goes out in one write
  long splitPauseMs = 50;
  bool silent = false;
};

// Takes --reply, --mode, --echo-request, --split and --silent; false for others.
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
