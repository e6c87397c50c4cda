// Text form of numbers: doubles that read back bit for bit, and strict parsing
// of numbers and whole numbers for data cells, options and model files.
#ifndef QUORV_CLI_NUMBERS_H
#define QUORV_CLI_NUMBERS_H

#include <string>
#include <string_view>

namespace cli {

// Shortest decimal text that reads back to the same double; "inf", "-inf";
// NaN as "nan" (the default quiet NaN) or "[-]nan(0xPAYLOAD)" otherwise.
std::string format_double(double value);

// Parses the whole text as a double (decimal or exponent form, optional
// leading '+', the forms written by format_double). False on anything else.
bool parse_double(std::string_view text, double *value);

// Parses the whole text as a base-10 integer in [lo, hi].
bool parse_long(std::string_view text, long lo, long hi, long *value);

// True when value is a whole number in the 32-bit int range, the range of the
// plug-ins' integer arguments and labels.
bool is_int32_whole(double value);

}  // namespace cli

#endif
