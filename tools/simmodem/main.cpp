// Simulated GSM modem on a pseudo-terminal, for tests and the demo.
// Usage: see tools/README.md.

#include "SimModem.h"
#include "SimRunner.h"

int main(int argc, char **argv) {
  TCommonOptions common;
  TModemConfig modem;
  const auto parseOption = [&](const std::string &name, const TOptionValue &value) {
    return ParseModemOption(name, value, modem);
  };
  if (!ParseCommandLine(argc, argv, parseOption, common))
    return 2;
  TSimRunner runner(common);
  TSimModem behaviour(modem, runner);
  return runner.Run(behaviour);
}
