// The runtime's millisecond clock, started when the plug-in is loaded.
#include "host/clock.h"

#include <chrono>

namespace {
const std::chrono::steady_clock::time_point load_time = std::chrono::steady_clock::now();
}

int clock_seconds()
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - load_time)
                        .count();
    return static_cast<int>(ms / 1000);
}
