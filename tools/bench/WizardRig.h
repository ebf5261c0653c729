#pragma once
// What a program that drives the real wizard sets up around it: a scratch
// folder, the wizard's folder and settings, free loopback ports and the
// simulators on their ptys.

#include "ChildProcess.h"
#include "LocalSockets.h"
#include "XDisplay.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

[[noreturn]] inline void Fail(const std::string &what) { throw std::runtime_error(what); }

inline void Require(bool ok, const std::string &what) {
  if (!ok)
    Fail(what);
}

// A temporary folder removed with everything in it.
class TScratch {
public:
  explicit TScratch(const std::string &prefix);
  ~TScratch();
  TScratch(const TScratch &) = delete;
  TScratch &operator=(const TScratch &) = delete;
  const fs::path &Path() const { return FPath; }
  // Left in place at the end, for a look at what went wrong.
  void Keep() { FKeep = true; }

private:
  fs::path FPath;
  bool FKeep = false;
};

void WriteText(const fs::path &path, const std::string &text);
// The whole file; empty when it cannot be read.
std::string ReadText(const fs::path &path);

// `folder`/bin: the wizard, the client as its setup program for the
// simulated device's key DEMO, and setup.ini saying so. Returns that folder.
fs::path PrepareProgramFolder(const fs::path &folder, const std::string &wizard, const std::string &client);

// $XDG_CONFIG_HOME/Korvel/Tandrel.reg with the port and the connection type
// (1 cable, 0 modem) selected before the wizard starts, plus `extraLines`.
void WriteWizardSettings(const fs::path &configHome, const fs::path &port, int channel,
                         const std::string &extraLines = {});

// Starts the wizard from `bin` on `display`: settings under `root`/config,
// its private folder `root`/runtime (made here), `port` offered as an extra
// port, its output in `root`/tandrel.log; `extra` reaches the setup program.
void StartWizard(TChildProcess &wizard, const TXDisplay &display, const fs::path &root, const fs::path &bin,
                 const fs::path &port, const TEnvironment &extra);

int FreeLoopbackPort();
bool WaitForPath(const fs::path &path, int timeoutMs);

// One simulator (simdevice or simmodem) at a fixed path, with its control channel.
class TSimulator {
public:
  // The pty is published at `root`/`linkName`, which simulators started one
  // after another may share, so the wizard finds each at its stored port.
  TSimulator(const fs::path &root, std::string name, std::string linkName, std::string binary,
             std::vector<std::string> options)
      : FRoot(root), FName(std::move(name)), FLinkName(std::move(linkName)), FBinary(std::move(binary)),
        FOptions(std::move(options)) {}

  void Start();
  void Stop() { FProcess.Stop(); }
  fs::path Link() const { return FRoot / FLinkName; }
  TSimControl &Control() { return FControl; }
  // The command's reply; fails unless it starts with "OK".
  std::string Command(const std::string &line);

private:
  fs::path FRoot;
  std::string FName;
  std::string FLinkName;
  std::string FBinary;
  std::vector<std::string> FOptions;
  TChildProcess FProcess;
  TSimControl FControl;
};
