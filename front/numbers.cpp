// Number text: std::to_chars/from_chars are locale-free and round-trip exact;
// NaN payloads and signs are spelled out by hand so that they survive too.
#include "numbers.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace front {

namespace {

constexpr std::uint64_t kSignBit = 0x8000000000000000u;
constexpr std::uint64_t kExponentBits = 0x7ff0000000000000u;
constexpr std::uint64_t kMantissaBits = 0x000fffffffffffffu;

std::uint64_t bits_of(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double double_of(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

const std::uint64_t kDefaultNaN = bits_of(std::numeric_limits<double>::quiet_NaN());

// "nan" or "nan(0xHEX)", after an optional sign; any non-zero mantissa.
bool parse_nan(std::string_view text, bool negative, double *value)
{
    if (text.substr(0, 3) != "nan")
        return false;
    std::uint64_t bits = kDefaultNaN & ~kSignBit;
    if (text.size() > 3) {
        if (text.size() < 7 || text.substr(3, 3) != "(0x" || text.back() != ')')
            return false;
        const std::string_view hex = text.substr(6, text.size() - 7);
        std::uint64_t payload = 0;
        auto r = std::from_chars(hex.data(), hex.data() + hex.size(), payload, 16);
        if (r.ec != std::errc() || r.ptr != hex.data() + hex.size() || payload == 0 ||
            (payload & ~kMantissaBits) != 0)
            return false;
        bits = kExponentBits | payload;
    }
    *value = double_of(negative ? bits | kSignBit : bits);
    return true;
}

}  // namespace

std::string format_double(double value)
{
    if (std::isnan(value)) {
        const std::uint64_t bits = bits_of(value);
        if (bits == kDefaultNaN)
            return "nan";
        char text[40];
        std::snprintf(text, sizeof text, "%snan(0x%" PRIx64 ")", (bits & kSignBit) ? "-" : "",
                      bits & kMantissaBits);
        return text;
    }
    char text[64];
    auto r = std::to_chars(text, text + sizeof text, value);
    return std::string(text, r.ptr);
}

bool parse_double(std::string_view text, double *value, bool *out_of_range)
{
    if (out_of_range)
        *out_of_range = false;
    bool negative = false;
    std::string_view body = text;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty() || body[0] == '+' || body[0] == '-')
        return false;
    if (body.substr(0, 3) == "nan")
        return parse_nan(body, negative, value);
    double parsed = 0;
    auto r = std::from_chars(body.data(), body.data() + body.size(), parsed);
    // Out-of-range text is refused rather than silently turned into inf or 0.
    if (r.ec != std::errc() || r.ptr != body.data() + body.size()) {
        if (out_of_range)
            *out_of_range = r.ec == std::errc::result_out_of_range && r.ptr == body.data() + body.size();
        return false;
    }
    *value = negative ? -parsed : parsed;
    return true;
}

bool parse_int64(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t *value)
{
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-')
            return false;
    }
    std::int64_t parsed = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), parsed, 10);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || parsed < lo ||
        parsed > hi)
        return false;
    *value = parsed;
    return true;
}

bool parse_long(std::string_view text, long lo, long hi, long *value)
{
    std::int64_t parsed = 0;
    if (!parse_int64(text, lo, hi, &parsed))
        return false;
    *value = static_cast<long>(parsed);
    return true;
}

bool is_int32_whole(double value)
{
    return value >= -2147483648.0 && value <= 2147483647.0 && std::trunc(value) == value;
}

}  // namespace front
