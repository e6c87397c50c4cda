// A version stamp as a loader's message can show it: on one line, quoted,
// anything unprintable escaped, cut at 120 characters.
#ifndef QUORV_MINIHOST_QUOTED_H
#define QUORV_MINIHOST_QUOTED_H

#include <cstdio>
#include <string>

namespace minihost {

inline std::string quoted(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < 120; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') out += "\\n";
        else if (c == '\\' || c == '\'') (out += '\\') += static_cast<char>(c);
        else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (text.size() > 120) out += "...";
    return "'" + out + "'";
}

}  // namespace minihost

#endif
