#pragma once
// What /proc tells about the wizard process.

#include <sys/types.h>

// Seconds on a CPU, all threads; negative when unreadable.
double CpuSeconds(pid_t pid);
// VmHWM in MiB; negative when unreadable.
double PeakRssMiB(pid_t pid);
