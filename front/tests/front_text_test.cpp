// The one UTF-8 decoder: every malformed form refused, every valid one read
// with its code point, and the checks and escapes built on it agreeing.
#include "front/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(FrontText, DecoderReadsValidSequencesAndRefusesEveryMalformedOne)
{
    const struct {
        std::string bytes;
        size_t length;  // 0: refused
        std::uint32_t code;
        const char *what;
    } cases[] = {
        {"A", 1, 0x41, "ASCII"},
        {std::string(1, '\0'), 1, 0, "NUL is a character"},
        {"\xc2\x80", 2, 0x80, "smallest two-byte"},
        {"\xdf\xbf", 2, 0x7FF, "largest two-byte"},
        {"\xe0\xa0\x80", 3, 0x800, "smallest three-byte"},
        {"\xef\xbf\xbf", 3, 0xFFFF, "U+FFFF is well-formed"},
        {"\xf0\x90\x80\x80", 4, 0x10000, "smallest four-byte"},
        {"\xf4\x8f\xbf\xbf", 4, 0x10FFFF, "last code point"},
        {"\xe2\x82\xac tail", 3, 0x20AC, "only the first character"},
        {"", 0, 0, "nothing"},
        {"\x80", 0, 0, "lone continuation byte"},
        {"\xc0\x80", 0, 0, "overlong NUL"},
        {"\xc1\xbf", 0, 0, "overlong two-byte"},
        {"\xe0\x9f\xbf", 0, 0, "overlong three-byte"},
        {"\xf0\x8f\xbf\xbf", 0, 0, "overlong four-byte"},
        {"\xed\xa0\x80", 0, 0, "high surrogate"},
        {"\xed\xbf\xbf", 0, 0, "low surrogate"},
        {"\xf4\x90\x80\x80", 0, 0, "past U+10FFFF"},
        {"\xf5\x80\x80\x80", 0, 0, "lead byte F5"},
        {"\xff", 0, 0, "lead byte FF"},
        {"\xe2\x82", 0, 0, "cut off"},
        {"\xe2\x28\xac", 0, 0, "bad continuation"},
    };
    for (const auto &c : cases) {
        std::uint32_t code = 0xDEAD;
        EXPECT_EQ(front::utf8_sequence(c.bytes, &code), c.length) << c.what;
        if (c.length != 0) {
            EXPECT_EQ(code, c.code) << c.what;
        }
        // The check over whole texts agrees with the decoder.
        const std::string text = "ok" + c.bytes;
        EXPECT_EQ(front::invalid_utf8_at(text), c.length == 0 && !c.bytes.empty() ? 2 : std::string::npos)
            << c.what;
    }
}

}  // namespace
