// Simulated field device on a pseudo-terminal, for tests and the demo.
// Usage: see tools/README.md.

#include "SimDevice.h"
#include "SimRunner.h"

namespace {

class TDeviceBehaviour : public TSimBehaviour {
public:
  TDeviceBehaviour(const TDeviceConfig &config, TSimLine &line) : FDevice(config, line) {}
  void OnReceived(std::string_view bytes) override { FDevice.OnReceived(bytes); }
  std::string OnCommand(const std::string &name, const std::string &argument) override {
    return FDevice.OnCommand(name, argument);
  }
  // Pulling the adapter does not power the device off: it keeps its session,
  // so after the replug it goes on relaying without a new identification.
  void OnUnplug() override {}

private:
  TSimDevice FDevice;
};

} // namespace

int main(int argc, char **argv) {
  TCommonOptions common;
  TDeviceConfig device;
  const auto parseOption = [&](const std::string &name, const TOptionValue &value) {
    return ParseDeviceOption(name, value, device);
  };
  if (!ParseCommandLine(argc, argv, parseOption, common))
    return 2;
  TSimRunner runner(common);
  TDeviceBehaviour behaviour(device, runner);
  return runner.Run(behaviour);
}
