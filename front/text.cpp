// UTF-8 decoding, checks and short excerpts: one decoder for every front end.
#include "text.h"

#include <cstdint>

namespace front {

size_t utf8_sequence(std::string_view s, std::uint32_t *code)
{
    if (s.empty())
        return 0;
    const auto byte = [&s](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) {
        *code = b0;
        return 1;
    }
    size_t length;
    std::uint32_t c, least;
    if (b0 >= 0xC2 && b0 <= 0xDF)
        length = 2, c = b0 & 0x1Fu, least = 0x80;
    else if (b0 >= 0xE0 && b0 <= 0xEF)
        length = 3, c = b0 & 0x0Fu, least = 0x800;
    else if (b0 >= 0xF0 && b0 <= 0xF4)
        length = 4, c = b0 & 0x07u, least = 0x10000;
    else
        return 0;
    if (s.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(i) & 0x3Fu);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    *code = c;
    return length;
}

size_t invalid_utf8_at(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {  // the common case, without the call
            ++i;
            continue;
        }
        std::uint32_t code;
        const size_t n = utf8_sequence(text.substr(i), &code);
        if (n == 0)
            return i;
        i += n;
    }
    return std::string_view::npos;
}

std::string excerpt(std::string_view text, size_t most)
{
    if (text.size() <= most)
        return std::string(text);
    size_t cut = most;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;  // not inside a character
    return std::string(text.substr(0, cut)) + "...";
}

}  // namespace front
