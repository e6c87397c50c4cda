// Names in model files and data: UTF-8 text, checked once here for every
// front end, and quoted in messages only in short pieces.
#ifndef QUORV_FRONT_TEXT_H
#define QUORV_FRONT_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace front {

// Length of the valid UTF-8 sequence at the start of `s` (1 to 4), its code
// point in *code; 0 for an invalid, overlong, surrogate or cut-off sequence
// (or an empty `s`). The one decoder of the front ends.
size_t utf8_sequence(std::string_view s, std::uint32_t *code);

// Offset of the first byte that does not begin a valid UTF-8 sequence
// (overlong forms, surrogates and cut-off sequences included), or npos.
size_t invalid_utf8_at(std::string_view text);

// At most `most` bytes of the text, cut at a character boundary, with "..."
// when something was cut: how a message quotes a value that may be huge.
std::string excerpt(std::string_view text, size_t most = 40);

}  // namespace front

#endif
