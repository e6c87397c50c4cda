// The count of usable cores (see cores.h): the process's affinity where the
// system tells it, else what the standard library knows, never below 1.
#include "model/cores.h"

#include <cstdlib>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

int processor_threads()
{
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
#elif defined(_WIN32)
    DWORD_PTR process_mask = 0, system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
        int n = 0;
        for (; process_mask != 0; process_mask &= process_mask - 1)
            ++n;
        if (n > 0)
            return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n > 1024 ? 1024 : n) : 1;
}

namespace {

// QUORV_THREADS as a count, or 0 when unset or not a whole number >= 1; at
// most 1024, a bound on what a mistyped count can cost.
int environment_threads()
{
    const char *text = std::getenv("QUORV_THREADS");
    if (!text || !*text)
        return 0;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0' || value < 1)
        return 0;
    return value > 1024 ? 1024 : static_cast<int>(value);
}

}  // namespace

int allowed_threads()
{
    const int cap = environment_threads();
    const int cores = processor_threads();
    return cap > 0 && cap < cores ? cap : cores;
}
