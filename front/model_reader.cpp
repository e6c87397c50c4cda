// Model file lines from memory or a file, one at a time, and the checks of
// the values in them.
#include "model_reader.h"

#include "error.h"
#include "gzip.h"
#include "model.h"
#include "numbers.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace front {

namespace {

constexpr size_t kBlock = size_t{1} << 16;

// What one read() of the file's descriptor gives (no macro: a member named
// read must keep its name).
long read_some(std::FILE *file, char *to, size_t n)
{
#ifdef _WIN32
    return _read(_fileno(file), to, static_cast<unsigned>(n));
#else
    return static_cast<long>(read(fileno(file), to, n));
#endif
}

}  // namespace

bool ModelLines::fill()
{
    if ((!file_ && !gz_) || ended_)
        return false;
    // Keep only what is not yet taken, then add a block after it.
    const size_t kept = text_.size();
    buffer_.erase(0, buffer_.size() - kept);
    buffer_.resize(kept + kBlock);
    if (gz_) {
        const size_t got = gz_->read(&buffer_[kept], kBlock);
        buffer_.resize(kept + got);
        text_ = buffer_;
        ended_ = got == 0;
        return got > 0;
    }
    // What the file has now, not a whole block (as fread would wait for): a
    // pipe's writer need not end it for its text to be judged.
    long got;
    do
        got = read_some(file_, &buffer_[kept], kBlock);
    while (got < 0 && errno == EINTR);
    buffer_.resize(kept + static_cast<size_t>(got > 0 ? got : 0));
    text_ = buffer_;
    if (got < 0)
        throw Error("cannot read " + path_ + ": " + std::strerror(errno));
    ended_ = got == 0;
    return got > 0;
}

std::string_view ModelLines::peek(size_t n)
{
    while (text_.size() < n && fill()) {
    }
    return text_.substr(0, n);
}

ModelLines::Got ModelLines::next(std::string_view *line, size_t most)
{
    size_t end;
    while ((end = text_.find('\n', scanned_)) == std::string_view::npos) {
        scanned_ = text_.size();
        if (text_.size() > most)
            return Got::too_long;
        if (!fill()) {
            *line = text_;
            text_ = {};
            scanned_ = 0;
            return line->empty() ? Got::end : Got::unended;
        }
    }
    *line = text_.substr(0, end);
    text_.remove_prefix(end + 1);
    scanned_ = 0;
    return line->size() > most ? Got::too_long : Got::line;
}

void Reader::fail(const std::string &what) const
{
    throw Error((path_.empty() ? "line " : path_ + ":") + std::to_string(line_) + ": " + what);
}

void Reader::expect_end()
{
    ++line_;
    if (!lines_.peek(1).empty())
        fail("unexpected text after the last node");
}

std::string_view Reader::expect(const char *key)
{
    std::string_view line;
    ++line_;
    switch (lines_.next(&line, kMaxModelLine + 1)) {  // a CR may end the line
    case ModelLines::Got::end:
        fail(std::string("ends where '") + key + "' was expected");
    case ModelLines::Got::unended:
        fail("last line has no line end");
    case ModelLines::Got::too_long:
        fail("line longer than " + std::to_string(kMaxModelLine >> 20) + " MB (is this a model file?)");
    case ModelLines::Got::line:
        break;
    }
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.size() > kMaxModelLine)
        fail("line longer than " + std::to_string(kMaxModelLine >> 20) + " MB (is this a model file?)");
    const std::string_view prefix = key;
    if (line.size() <= prefix.size() || line.substr(0, prefix.size()) != prefix || line[prefix.size()] != ' ')
        fail(std::string("expected '") + key + " ...', found '" + excerpt(line) + "'");
    if (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')
        fail("blank at the end of the line");
    return line.substr(prefix.size() + 1);
}

std::string Reader::name(std::string_view text, const char *what) const
{
    if (text.empty())
        fail(std::string(what) + " has no name");
    if (text.front() == ' ' || text.front() == '\t')
        fail(std::string(what) + " name '" + excerpt(text) + "' begins with a blank");
    // A carriage return inside a line: the writer could not give it back.
    if (text.find('\r') != std::string_view::npos)
        fail(std::string(what) + " name '" + excerpt(text) + "' holds a line break");
    const size_t bad = invalid_utf8_at(text);
    if (bad != std::string_view::npos)
        fail(std::string(what) + " name '" + excerpt(text) + "' is not UTF-8 text (byte " + std::to_string(bad + 1) +
             ")");
    return std::string(text);
}

double Reader::number(std::string_view text, const char *what, bool (*fits)(double), const char *range) const
{
    const double value = number(text, what);
    if (!fits(value))
        fail(std::string(what) + " '" + excerpt(text) + "' in the model file is not " + range);
    return value;
}

double Reader::number(std::string_view text, const char *what) const
{
    double value = 0;
    bool out_of_range = false;
    if (!parse_double(text, &value, &out_of_range))
        fail(std::string(what) + " '" + excerpt(text) + "' is " +
             (out_of_range ? "out of the range of doubles" : "not a number"));
    return value;
}

std::int64_t Reader::integer(std::string_view text, const char *what, std::int64_t lo, std::int64_t hi) const
{
    std::int64_t value = 0;
    if (!parse_int64(text, lo, hi, &value))
        fail(std::string(what) + " '" + excerpt(text) + "' is not a whole number in [" + std::to_string(lo) + ", " +
             std::to_string(hi) + "]");
    // "+1" or "01" would not be written back as they are.
    if (std::to_string(value) != text)
        fail(std::string(what) + " '" + excerpt(text) + "' is not written as the model file writes it (digits "
                                                         "alone, without a sign or leading zeros)");
    return value;
}

namespace {

// A plain decimal "-?D+(.D+)?" of at most 24 characters, so a finite double
// that is neither out of range nor zero by underflow: its sign, whole digits
// (leading zeros left out) and fraction digits.
struct Decimal {
    const char *whole, *fraction;
    size_t whole_size, fraction_size;
    bool negative;
};

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Past the digits from `at`: eight at a time while there are eight.
const char *skip_digits(const char *at, const char *end)
{
    constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0u, kZeros = 0x3030303030303030u, kSix = 0x0606060606060606u;
    std::uint64_t v;
    while (end - at >= 8 && (std::memcpy(&v, at, 8), (v & kHigh) == kZeros && ((v + kSix) & kHigh) == kZeros))
        at += 8;
    while (at < end && is_digit(*at))
        ++at;
    return at;
}

// Reads one decimal at *p, and the blank after it if any; false for any other
// text (the parser then judges it).
bool scan_decimal(const char **p, const char *end, Decimal *d)
{
    const char *at = *p, *start = at;
    d->negative = at < end && *at == '-';
    at += d->negative ? 1 : 0;
    const char *whole = at;
    at = skip_digits(at, end);
    if (at == whole)
        return false;
    d->fraction = at;
    d->fraction_size = 0;
    while (whole + 1 < at && *whole == '0')
        ++whole;
    d->whole = whole;
    d->whole_size = static_cast<size_t>(at - whole);
    if (at < end && *at == '.') {
        d->fraction = ++at;
        at = skip_digits(at, end);
        d->fraction_size = static_cast<size_t>(at - d->fraction);
        if (d->fraction_size == 0)
            return false;
    }
    if (at - start > 24 || (at < end && *at != ' '))
        return false;
    *p = at < end ? at + 1 : at;
    return true;
}

// Whether a <= b as decimals (so also as the doubles they round to); false
// for a non-negative a above a negative b, which only zeros would pass.
bool at_most(const Decimal &a, const Decimal &b)
{
    if (a.negative != b.negative)
        return a.negative;
    int c = 0;  // -1, 0 or 1 as |a| is below, equal to or above |b|
    if (a.whole_size != b.whole_size) {
        c = a.whole_size < b.whole_size ? -1 : 1;
    } else if (const int w = std::memcmp(a.whole, b.whole, a.whole_size)) {
        c = w < 0 ? -1 : 1;
    } else {
        // Fractions: their common length, then the longer one's rest, which is
        // more only where it holds a digit other than 0.
        const size_t common = std::min(a.fraction_size, b.fraction_size);
        if (const int f = std::memcmp(a.fraction, b.fraction, common)) {
            c = f < 0 ? -1 : 1;
        } else {
            const Decimal &longer = a.fraction_size > common ? a : b;
            for (size_t i = common; c == 0 && i < longer.fraction_size; ++i)
                if (longer.fraction[i] != '0')
                    c = &longer == &a ? 1 : -1;
        }
    }
    return a.negative ? c >= 0 : c <= 0;
}

}  // namespace

bool Reader::ordered_row(std::string_view text, size_t cols)
{
    constexpr size_t kMostCols = 256;  // wider rows take the parsing path
    Decimal lower[kMostCols];
    if (cols > kMostCols || text.empty() || text.back() == ' ')
        return false;
    const char *p = text.data(), *end = p + text.size();
    for (size_t j = 0; j < 2 * cols; ++j) {
        Decimal d;
        if (p == end || !scan_decimal(&p, end, &d) || (j >= cols && !at_most(lower[j - cols], d)))
            return false;
        if (j < cols)
            lower[j] = d;
    }
    return p == end;
}

std::string_view Reader::field(std::string_view *text)
{
    const size_t blank = text->find(' ');
    const std::string_view first = text->substr(0, blank);
    text->remove_prefix(blank == std::string_view::npos ? text->size() : blank + 1);
    return first;
}

}  // namespace front
