// The tool uses the front library's number text forms (front/numbers.h).
#ifndef QUORV_CLI_NUMBERS_H
#define QUORV_CLI_NUMBERS_H

#include "front/numbers.h"

namespace cli {

using front::format_double;
using front::is_int32_whole;
using front::parse_double;
using front::parse_long;

}  // namespace cli

#endif
