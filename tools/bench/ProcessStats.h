#pragma once
// What /proc tells about the wizard process.

#include <sys/types.h>

// utime + stime in seconds; negative when unreadable.
double CpuSeconds(pid_t pid);
// VmHWM in MiB; negative when unreadable.
double PeakRssMiB(pid_t pid);
