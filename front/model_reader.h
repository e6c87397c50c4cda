// The model file's lines, read one at a time, and the checks every record's
// values go through: the reader of front/model.cpp walks records with this.
//
// What it keeps true: a file is never held whole. One line at a time is in
// memory (at most kMaxModelLine bytes), so the memory a read takes is bounded
// by the model it gives, not by the file; the end is asked for by one read of
// at most a block, so text after the last record is refused at its first line
// without reading on. Messages are "PATH:LINE: WHAT" ("line LINE: WHAT" for a
// text not read from a file) and quote at most a short piece of a value.
#ifndef QUORV_FRONT_MODEL_READER_H
#define QUORV_FRONT_MODEL_READER_H

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

namespace front {

class GzipInput;

// A model text, in memory or from an open file, line by line.
class ModelLines {
public:
    explicit ModelLines(std::string_view text) : text_(text) {}
    // Reads `file` (left open) as it goes; `path` names it in messages.
    ModelLines(std::FILE *file, const std::string &path) : file_(file), path_(path) {}
    // Reads the gzip stream `gz` (left open) as it goes.
    ModelLines(GzipInput *gz, const std::string &path) : gz_(gz), path_(path) {}

    enum class Got { line, end, unended, too_long };
    // The next line without its LF, valid until the next call; `end` when no
    // text is left, `unended` when the last line has no LF, `too_long` when a
    // line goes on beyond `most` bytes (seen before it is read whole). Throws
    // Error "cannot read PATH: REASON" at a read error.
    Got next(std::string_view *line, size_t most);
    // Up to `n` first bytes of what is left (fewer only at the end).
    std::string_view peek(size_t n);

private:
    bool fill();  // one more block from the file; false at its end

    std::string_view text_;  // what is left, in memory
    std::FILE *file_ = nullptr;
    GzipInput *gz_ = nullptr;
    std::string path_;
    std::string buffer_;  // from a file: text_ views the part of it not yet taken
    size_t scanned_ = 0;  // bytes of text_ known to hold no LF
    bool ended_ = false;
};

// Walks the lines; every record must come in its place.
class Reader {
public:
    Reader(ModelLines &lines, const std::string &path) : lines_(lines), path_(path) {}

    // Whether the nodes' bounds are kept, or only checked (a report that
    // prints none need not hold them: a fifth of the file's size).
    bool keeps_bounds() const { return keep_bounds_; }
    void check_bounds_only() { keep_bounds_ = false; }

    [[noreturn]] void fail(const std::string &what) const;
    // The line last read; a copy set to an earlier line judges a row read
    // there, with the message the reader gave at that line.
    long line() const { return line_; }
    void set_line(long line) { line_ = line; }
    // The first bytes, for telling a model file from something else.
    std::string_view peek(size_t n) { return lines_.peek(n); }
    // Refuses any text after the last record, at its first line.
    void expect_end();
    // The text after "key " on the next line. A line may end in CR LF (a file
    // saved by a Windows editor); blanks at its end are refused, since the
    // file would no longer read back to the same text.
    std::string_view expect(const char *key);
    // A name: the rest of the line, as the CSV reader would have trimmed it.
    // Names are UTF-8 text, so that every front end holds them as text.
    std::string name(std::string_view text, const char *what) const;
    // A number the reader then holds to `fits`: "WHAT 'TEXT' in the model
    // file is not RANGE".
    double number(std::string_view text, const char *what, bool (*fits)(double), const char *range) const;
    double number(std::string_view text, const char *what) const;
    // A whole number in [lo, hi], written as the writer writes one: digits
    // alone, no sign, no leading zero.
    std::int64_t integer(std::string_view text, const char *what, std::int64_t lo, std::int64_t hi) const;
    // Splits off the next blank-separated field of `text`.
    static std::string_view field(std::string_view *text);
    // Whether the rest of a node line is certainly 2 * cols finite numbers
    // that node_bound and number would take, each lower bound at most its
    // upper bound, judged on the text alone (plain decimals: rounding keeps
    // their order); false when unsure, and the caller then parses the row.
    static bool ordered_row(std::string_view text, size_t cols);

private:
    ModelLines &lines_;
    std::string path_;
    long line_ = 0;
    bool keep_bounds_ = true;
};

}  // namespace front

#endif
