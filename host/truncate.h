// The one double-to-int conversion of the plug-ins' arguments and labels, with
// no host: the prepared model (model/prepared.h) labels as the plug-in does.
#ifndef QUORV_HOST_TRUNCATE_H
#define QUORV_HOST_TRUNCATE_H

#include <climits>
#include <cstdint>

// Truncates toward zero to 64 bits and keeps the low 32 bits as a signed int;
// NaN, the infinities and values outside the 64-bit range give 0.
inline int truncate_to_int(double value)
{
    // 2^63 is exact as a double; the test is false for NaN.
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!(value >= -kTwo63 && value < kTwo63))
        return 0;
    const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
    if (low <= static_cast<std::uint32_t>(INT_MAX))
        return static_cast<int>(low);
    return -static_cast<int>(~low) - 1;  // two's complement without an out-of-range conversion
}

#endif
