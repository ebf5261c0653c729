#include "Skip.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<TSkipUnderWine> &Skipped() {
  static std::vector<TSkipUnderWine> skipped;
  return skipped;
}

// The source file pattern of the run, without its wildcards.
std::string SourceFilter(int argc, char **argv) {
  const std::string option = "--source-file=";
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.rfind(option, 0) == 0) {
      argument.erase(0, option.size());
      std::erase(argument, '*');
      return argument;
    }
  }
  return "";
}

} // namespace

doctest::skip SkipUnderWine(const char *file, const char *reason) {
  const bool skip = RunningUnderWine();
  if (skip)
    Skipped().push_back({file, reason});
  return doctest::skip(skip);
}

void PrintSkipReasons(int argc, char **argv) {
  const std::string filter = SourceFilter(argc, argv);
  for (const TSkipUnderWine &entry : Skipped()) {
    if (std::string(entry.file).find(filter) != std::string::npos)
      std::printf("skipped under wine: %s\n", entry.reason);
  }
}
