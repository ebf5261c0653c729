#include "SoakChecks.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

void TResourceTrack::Sample(pid_t pid) { FSamples.push_back(SampleResources(pid)); }

std::string TResourceTrack::Problem(long rssSlackKiB) const {
  if (FSamples.empty())
    return FPhase + ": no sample taken";
  const TResourceSample &first = First(), &last = Last();
  if (first.fds < 0 || last.fds < 0 || first.threads < 0 || last.rssKiB < 0)
    return FPhase + ": /proc of the wizard could not be read";
  std::string problem;
  if (last.fds != first.fds)
    problem += " open descriptors " + std::to_string(first.fds) + " after the first cycle, " +
               std::to_string(last.fds) + " after the last;";
  if (last.threads != first.threads)
    problem += " threads " + std::to_string(first.threads) + " after the first cycle, " +
               std::to_string(last.threads) + " after the last;";
  if (std::labs(last.rssKiB - first.rssKiB) > rssSlackKiB)
    problem += " RSS " + std::to_string(first.rssKiB) + " KiB after the first cycle, " +
               std::to_string(last.rssKiB) + " KiB after the last;";
  return problem.empty() ? problem : FPhase + ":" + problem;
}

namespace {

bool Inside(const fs::path &path, const fs::path &folder) {
  const std::string text = path.string(), prefix = folder.string() + "/";
  return text.starts_with(prefix);
}

} // namespace

std::vector<pid_t> ProcessesIn(const fs::path &folder) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::error_code unreadable; // another user's process, or gone meanwhile
    const fs::path exe = fs::read_symlink(entry.path() / "exe", unreadable);
    const fs::path cwd = fs::read_symlink(entry.path() / "cwd", unreadable);
    if (Inside(exe, folder) || Inside(cwd, folder))
      found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return found;
}

std::vector<std::string> FilesIn(const fs::path &folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(folder, error))
    files.push_back(entry.path().filename().string());
  return files;
}

bool ParseRecordReport(const std::string &reply, TRecordCounts *counts) {
  std::istringstream in(reply);
  std::string ok, records, gaps, lost, duplicates, corrupt;
  in >> ok >> records >> counts->records >> gaps >> counts->gaps >> lost >> counts->lostBytes >> duplicates >>
      counts->duplicates >> corrupt >> counts->corrupt;
  return in && ok == "OK" && records == "records" && corrupt == "corrupt";
}

std::string Describe(const TRecordCounts &counts) {
  return std::to_string(counts.records) + " records, " + std::to_string(counts.gaps) + " gaps (" +
         std::to_string(counts.lostBytes) + " bytes lost), " + std::to_string(counts.duplicates) +
         " twice or out of order, " + std::to_string(counts.corrupt) + " bytes corrupt";
}

TSpread SpreadOf(std::vector<double> values) {
  if (values.empty())
    return {};
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {values.front(), median, values.back()};
}
