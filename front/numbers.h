// Text form of numbers, shared by every front end: doubles that read back bit
// for bit, and strict parsing of numbers and whole numbers for data cells,
// options and model files. Locale-free: the same text on every machine.
#ifndef QUORV_FRONT_NUMBERS_H
#define QUORV_FRONT_NUMBERS_H

#include <cstdint>
#include <string>
#include <string_view>

namespace front {

// Shortest decimal text that reads back to the same double; "inf", "-inf";
// NaN as "nan" (the default quiet NaN) or "[-]nan(0xPAYLOAD)" otherwise.
std::string format_double(double value);

// Parses the whole text as a double (decimal or exponent form, optional
// leading '+', the forms written by format_double). False on anything else;
// then `*out_of_range`, when given, tells a number beyond the doubles
// ("1e-400", "1e999") from text that is no number at all, since such text is
// refused rather than silently turned into 0 or inf.
bool parse_double(std::string_view text, double *value, bool *out_of_range = nullptr);

// Parses the whole text as a base-10 integer in [lo, hi]: an optional
// leading '+', no blanks.
bool parse_int64(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t *value);
// The same within long, whose width differs between platforms.
bool parse_long(std::string_view text, long lo, long hi, long *value);

// True when value is a whole number in the 32-bit int range, the range of the
// plug-ins' integer arguments and labels.
bool is_int32_whole(double value);

}  // namespace front

#endif
