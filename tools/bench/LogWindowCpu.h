#pragma once
// The wizard's CPU while bytes flow both ways with its log window "Данные"
// shown, when it turns every relayed chunk into log entries: the text view
// and the hex view at 115200 baud, the hex view at 256000 baud.

#include "Flows.h"

#include <vector>

class TBenchRig;

struct TLogWindowResult {
  TRow flows; // named by speed and view
  double cpuPercent = -1; // of one core
  double maxCpuPercent = 0;
  bool viewSeen = false; // the copied log is in the view measured
};

// Ends with the log window shown and in the hex view.
std::vector<TLogWindowResult> MeasureLogWindowCpu(TBenchRig &rig, double seconds);
// A line per view and speed with its targets; false when one is missed.
bool PrintLogWindowCpu(const std::vector<TLogWindowResult> &results);
