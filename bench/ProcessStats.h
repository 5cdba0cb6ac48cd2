#pragma once

#include <sys/types.h>

// Readings from /proc for one process (all of its threads), this one or a
// child. Each returns a negative value when the process or the field is gone.

// User plus system CPU time, in seconds (clock-tick resolution).
double ProcessCpuSeconds(pid_t pid);

// Resident set size now, and its peak since start or the last ResetPeakRss.
long ResidentKiB(pid_t pid);
long PeakResidentKiB(pid_t pid);

// Starts the peak resident size over from the current size (Linux's
// clear_refs "5"), so that one process can measure several runs in turn.
bool ResetPeakRss(pid_t pid);
