#include "platform/FileVersion.h"

#include <sys/stat.h>

std::string GetFileVersionString(const std::string &fileName) {
  struct stat info;
  if (fileName.empty() || stat(fileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return "";
  return TANDREL_VERSION;
}
