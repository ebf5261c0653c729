#pragma once
// A Modbus RTU poll as a setup program makes one: pymodbus's client with its
// RTU framer over TCP reads holding registers of the simulated device
// (simdevice --mode modbus) one request after another. Through the wizard and
// through socat, same speed; the client reaches either through a loopback
// port of the benchmark's that relays to the connection.

#include <vector>

class TBenchRig;

struct TPollResult {
  long baud = 0;
  // Mean milliseconds per request; -1 when the poll failed.
  double wizardMs = -1;
  double socatMs = -1;
};

std::vector<TPollResult> MeasurePolls(TBenchRig &rig);
// A line per speed with its target; false when one is missed.
bool PrintPolls(const std::vector<TPollResult> &polls);
