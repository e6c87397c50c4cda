// Model file lines from memory or a file, one at a time, and the checks of
// the values in them.
#include "model_reader.h"

#include "error.h"
#include "gzip.h"
#include "model.h"
#include "numbers.h"
#include "text.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#define read _read
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace front {

namespace {

constexpr size_t kBlock = size_t{1} << 16;

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
        got = static_cast<long>(read(fileno(file_), &buffer_[kept], static_cast<unsigned>(kBlock)));
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

// A plain decimal "-?D+(.D+)?" short enough to be a finite double that is
// neither zero by underflow nor out of range: its sign, whole digits (without
// leading zeros) and fraction digits; false for anything else.
struct Decimal {
    bool negative = false;
    std::string_view whole, fraction;
};

bool plain_decimal(std::string_view text, Decimal *d)
{
    if (text.size() > 24)
        return false;
    d->negative = !text.empty() && text[0] == '-';
    text.remove_prefix(d->negative ? 1 : 0);
    const size_t dot = text.find('.');
    d->whole = text.substr(0, dot);
    d->fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (d->whole.empty() || (dot != std::string_view::npos && d->fraction.empty()))
        return false;
    for (std::string_view part : {d->whole, d->fraction})
        for (char c : part)
            if (c < '0' || c > '9')
                return false;
    while (d->whole.size() > 1 && d->whole[0] == '0')
        d->whole.remove_prefix(1);
    return true;
}

// -1, 0 or 1 as |a| is below, equal to or above |b|.
int compare_magnitude(const Decimal &a, const Decimal &b)
{
    if (a.whole.size() != b.whole.size())
        return a.whole.size() < b.whole.size() ? -1 : 1;
    if (const int c = a.whole.compare(b.whole))
        return c < 0 ? -1 : 1;
    for (size_t i = 0; i < a.fraction.size() || i < b.fraction.size(); ++i) {
        const char x = i < a.fraction.size() ? a.fraction[i] : '0', y = i < b.fraction.size() ? b.fraction[i] : '0';
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

// Whether a <= b as decimals (so also as the doubles they round to); false
// for a non-negative a above a negative b, which only zeros would pass.
bool at_most(const Decimal &a, const Decimal &b)
{
    if (a.negative != b.negative)
        return a.negative;
    const int c = compare_magnitude(a, b);
    return a.negative ? c >= 0 : c <= 0;
}

}  // namespace

bool Reader::ordered_row(std::string_view text, size_t cols)
{
    constexpr size_t kMostCols = 256;  // wider rows take the parsing path
    Decimal lower[kMostCols];
    if (cols > kMostCols)
        return false;
    for (size_t j = 0; j < 2 * cols; ++j) {
        if (text.empty())
            return false;
        Decimal d;
        if (!plain_decimal(field(&text), &d) || (j >= cols && !at_most(lower[j - cols], d)))
            return false;
        if (j < cols)
            lower[j] = d;
    }
    return text.empty();
}

std::string_view Reader::field(std::string_view *text)
{
    const size_t blank = text->find(' ');
    const std::string_view first = text->substr(0, blank);
    text->remove_prefix(blank == std::string_view::npos ? text->size() : blank + 1);
    return first;
}

}  // namespace front
