// Worker threads for the winner search.
#include "model/threads.h"

#include <atomic>
#include <cstdlib>
#include <new>
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

namespace {

// QUORV_THREADS as a count, or 0 when unset or not a whole number >= 1.
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

struct Shared {
    void (*task)(void *, int);
    void *context;
    int tasks;
    std::atomic<int> next{0};
};

// Each thread takes the next task until none is left.
void take_tasks(Shared *shared)
{
    for (int i = shared->next.fetch_add(1); i < shared->tasks; i = shared->next.fetch_add(1))
        shared->task(shared->context, i);
}

}  // namespace

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

int search_threads()
{
    const int cap = environment_threads();
    const int cores = processor_threads();
    return cap > 0 && cap < cores ? cap : cores;
}

void run_tasks(int tasks, int threads, void (*task)(void *context, int index), void *context)
{
    if (threads > tasks)
        threads = tasks;
    if (threads <= 1) {
        for (int i = 0; i < tasks; ++i)
            task(context, i);
        return;
    }
    Shared shared;
    shared.task = task;
    shared.context = context;
    shared.tasks = tasks;
    constexpr int kMaxWorkers = 63;
    std::thread workers[kMaxWorkers];
    const int wanted = threads - 1 < kMaxWorkers ? threads - 1 : kMaxWorkers;
    int started = 0;
    for (; started < wanted; ++started) {
        try {
            workers[started] = std::thread(take_tasks, &shared);
        } catch (...) {
            break;  // no more threads to be had: the calling thread does the rest
        }
    }
    take_tasks(&shared);
    for (int i = 0; i < started; ++i)
        workers[i].join();
}
