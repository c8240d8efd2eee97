#include "platform/ProcessPriority.h"
#include <sched.h>
#include <sys/resource.h>

void SetProcessPriorityClass(TProcessPriorityClass priority)
{
    int nice = 0;
    if (priority == TProcessPriorityClass::ppcAboveNormal)
        nice = -5;
    else if (priority == TProcessPriorityClass::ppcHigh)
        nice = -10;
    ::setpriority(PRIO_PROCESS, 0, nice);
}

void SetProcessAffinityMask(std::uint64_t mask)
{
    if (mask == 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu)
        if (mask & (std::uint64_t{1} << cpu))
            CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
}
