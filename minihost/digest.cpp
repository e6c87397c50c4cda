// Reading and comparing a plug-in's recorded digest (see digest.h).
#include "digest.h"

#include <cctype>

namespace minihost {
namespace {

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The 64 hex digits at the start of `text` (sha256sum's line, the file name
// after them), in lower case; empty when the text starts otherwise.
std::string leading_digest(const std::string &text) {
    std::string hex;
    for (size_t i = 0; i < text.size() && i < 64; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c)) return "";
        hex += static_cast<char>(std::tolower(c));
    }
    if (hex.size() != 64) return "";
    if (text.size() > 64 && text[64] != ' ' && text[64] != '\t' && text[64] != '\n' && text[64] != '\r') return "";
    return hex;
}

}  // namespace

std::string digest_path(const std::string &path) { return path + ".sha256"; }

std::string digest_refusal(const std::string &path, bool found, const std::string &text, const std::string &actual) {
    const std::string file = base_name(digest_path(path));
    if (!found)
        return path + " is refused: no digest file " + file +
               " beside it (the build writes one; for a plug-in built elsewhere see \"Plug-ins built elsewhere\" "
               "in the README)";
    const std::string recorded = leading_digest(text);
    if (recorded.empty()) return path + " is refused: " + file + " holds no SHA-256 digest";
    if (recorded != actual)
        return path + " is refused: its bytes do not match the digest in " + file +
               " (damaged or changed since it was built)";
    return "";
}

}  // namespace minihost
