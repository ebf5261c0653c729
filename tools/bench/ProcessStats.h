#pragma once
// What /proc tells about the wizard process.

#include <sys/types.h>

// Seconds on a CPU, all threads; negative when unreadable.
double CpuSeconds(pid_t pid);
// VmHWM in MiB; negative when unreadable.
double PeakRssMiB(pid_t pid);

// What a leak would raise: open descriptors, threads and resident memory.
struct TResourceSample {
  long fds = -1;
  long threads = -1;
  long rssKiB = -1;
};
TResourceSample SampleResources(pid_t pid);
