#pragma once
#include <cstdint>

// The process's scheduling class as the windows' settings name it, mapped onto nice values.
enum class TProcessPriorityClass { ppcNormal, ppcAboveNormal, ppcHigh };

// Applies to the calling thread and every thread created after it (the worker threads start
// later); a failure (no right to raise the priority) is ignored.
void SetProcessPriorityClass(TProcessPriorityClass priority);
// The processors the process may run on, bit 0 being the first; 0 or a mask that names no
// existing processor leaves the affinity unchanged.
void SetProcessAffinityMask(std::uint64_t mask);
