#pragma once
// A program that works the device's end of the line through its standard
// input and output, as a loader in a device's firmware takes over the UART:
// the device hands it what the line brings and sends what it writes.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

class TLineProgram {
public:
  TLineProgram() = default;
  ~TLineProgram() { Stop(0); }
  TLineProgram(const TLineProgram &) = delete;
  TLineProgram &operator=(const TLineProgram &) = delete;

  // Starts argv[0] (found through PATH) in `folder` with its standard input
  // and output on a socket pair, its standard error ours. Throws
  // std::runtime_error when it cannot.
  void Start(const std::vector<std::string> &argv, const std::string &folder);
  bool IsRunning() const { return FPid > 0; }
  // Our end of the pair: readable when the program wrote or ended.
  int Fd() const { return FFd; }
  // Hands bytes to the program. What its input cannot take now is lost, as
  // on a receiver that does not keep up; returns how many were lost.
  size_t Write(std::string_view bytes);
  // Appends what the program wrote to `out`; false once its output has closed.
  bool Read(std::string &out);
  // Waits up to `graceMs` for the program to end, then ends it (SIGTERM,
  // then SIGKILL) and reaps it.
  void Stop(int graceMs);
  // How the last program ended: its exit code, or -1 when a signal ended
  // it; empty while it runs or before the first.
  std::optional<int> ExitCode() const { return FExitCode; }

private:
  pid_t FPid = -1;
  int FFd = -1;
  std::optional<int> FExitCode;
};
