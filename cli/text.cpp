// Escaping of untrusted text for terminals and for XML.
#include "text.h"

#include "front/text.h"

#include <cstdint>
#include <cstdio>

namespace cli {

namespace {

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
        size_t length = front::utf8_sequence(text, &code);
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
        const size_t length = front::utf8_sequence(text, &code);
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
