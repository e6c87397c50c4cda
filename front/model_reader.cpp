// Model file lines from memory or a file, one at a time, and the checks of
// the values in them.
#include "model_reader.h"

#include "error.h"
#include "model.h"
#include "numbers.h"
#include "text.h"

#include <cerrno>
#include <cstring>

#ifdef QUORV_HAVE_ZLIB
#include <zlib.h>
#endif

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
    if (gz_)
        return fill_gz(kept);
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

bool ModelLines::fill_gz(size_t kept)
{
#ifdef QUORV_HAVE_ZLIB
    gzFile gz = static_cast<gzFile>(gz_);
    const int got = gzread(gz, &buffer_[kept], static_cast<unsigned>(kBlock));
    buffer_.resize(kept + static_cast<size_t>(got > 0 ? got : 0));
    text_ = buffer_;
    // A stream cut short ends reading with Z_BUF_ERROR set, not with -1.
    int code = Z_OK;
    const char *what = gzerror(gz, &code);
    if (got < 0 || (code != Z_OK && code != Z_STREAM_END))
        throw Error("cannot read " + path_ + ": " + (code == Z_ERRNO ? std::strerror(errno) : what));
    ended_ = got == 0;
    return got > 0;
#else
    (void)kept;
    throw Error("cannot read " + path_ + ": this build reads no .gz files");
#endif
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

std::string_view Reader::field(std::string_view *text)
{
    const size_t blank = text->find(' ');
    const std::string_view first = text->substr(0, blank);
    text->remove_prefix(blank == std::string_view::npos ? text->size() : blank + 1);
    return first;
}

}  // namespace front
