// Escaping of untrusted text for terminals and for XML.
#include "text.h"

#include <cstdint>
#include <cstdio>

namespace cli {

namespace {

// Length of the valid UTF-8 sequence at the start of `s` and its code point,
// or 0 for an invalid, overlong, surrogate or cut-off sequence.
size_t utf8_sequence(std::string_view s, std::uint32_t *code)
{
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

// C0, DEL and C1 controls, and the bidirectional overrides and isolates that
// would let a name display its characters in another order.
bool is_control(std::uint32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string visible(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::uint32_t code = 0;
        size_t length = utf8_sequence(text, &code);
        if (length != 0 && !is_control(code)) {
            out.append(text.substr(0, length));
        } else {
            // A C1 control is two bytes in UTF-8; both are shown.
            length = length == 0 ? 1 : length;
            for (size_t i = 0; i < length; ++i) {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
                out += escape;
            }
        }
        text.remove_prefix(length);
    }
    return out;
}

size_t display_width(std::string_view text)
{
    size_t n = 0;
    for (char ch : text)
        n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    return n;
}

std::string table_name(std::string_view text)
{
    // A character takes at most 4 bytes, so the first 4 x (width + 1) bytes
    // decide: the cost is bounded however long the name.
    const std::string shown = visible(text.substr(0, 4 * (kNameWidth + 1)));
    if (display_width(shown) <= kNameWidth)
        return shown;
    size_t end = 0;
    for (size_t chars = 0; end < shown.size(); ++end) {
        if ((static_cast<unsigned char>(shown[end]) & 0xC0) != 0x80) {
            if (chars == kNameWidth)
                break;
            ++chars;
        }
    }
    return shown.substr(0, end) + "...";
}

std::string xml_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::uint32_t code = 0;
        const size_t length = utf8_sequence(text, &code);
        const bool allowed = length != 0 && (code == 0x09 || code == 0x0A || code == 0x0D || !is_control(code)) &&
                             code != 0xFFFE && code != 0xFFFF;
        if (!allowed)
            out += "\xEF\xBF\xBD";  // U+FFFD
        else if (code == '&')
            out += "&amp;";
        else if (code == '<')
            out += "&lt;";
        else if (code == '>')
            out += "&gt;";
        else if (code == '"')
            out += "&quot;";
        else if (code == '\'')
            out += "&apos;";
        else if (code == 0x09 || code == 0x0A || code == 0x0D)
            out += code == 0x09 ? "&#9;" : code == 0x0A ? "&#10;" : "&#13;";  // kept through normalisation
        else
            out.append(text.substr(0, length));
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return out;
}

}  // namespace cli
