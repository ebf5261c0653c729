#pragma once
// What the soak checks besides the data: the wizard's resources cycle by
// cycle, its private folder after a disconnect, and the device's own count
// of the records it got back.

#include "ProcessStats.h"
#include "RecordStream.h"

#include <filesystem>
#include <string>
#include <vector>

// The wizard's descriptors, threads and RSS at the same point of every cycle
// of one phase; the level after the first cycle is the reference.
class TResourceTrack {
public:
  explicit TResourceTrack(std::string phase) : FPhase(std::move(phase)) {}
  void Sample(pid_t pid);
  // Empty when the last sample has the first one's descriptors and threads
  // and its RSS within `rssSlackKiB`; else what differs.
  std::string Problem(long rssSlackKiB) const;
  const std::string &Phase() const { return FPhase; }
  const TResourceSample &First() const { return FSamples.front(); }
  const TResourceSample &Last() const { return FSamples.back(); }
  size_t Cycles() const { return FSamples.size(); }

private:
  std::string FPhase;
  std::vector<TResourceSample> FSamples;
};

// Processes running from `folder` (their executable or working folder lies
// in it) and the files in it.
std::vector<pid_t> ProcessesIn(const std::filesystem::path &folder);
std::vector<std::string> FilesIn(const std::filesystem::path &folder);

// The device's reply to "recordcheck"; false when it is not one.
bool ParseRecordReport(const std::string &reply, TRecordCounts *counts);
std::string Describe(const TRecordCounts &counts);

struct TSpread {
  double min = 0, median = 0, max = 0;
};
TSpread SpreadOf(std::vector<double> values);
