// Numeric CSV tables: a header row of names, then rows of numbers.
#ifndef QUORV_CLI_CSV_H
#define QUORV_CLI_CSV_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct CsvTable {
    std::string path;
    std::vector<std::string> header;  // one name per column
    size_t rows = 0;
    std::vector<double> values;       // row-major, rows x header.size(), all finite
    std::vector<long> lines;          // source line of each row, for messages
    // Cells of the columns read as text, by column (empty for number columns,
    // whose place in `values` holds 0 for text columns).
    std::vector<std::vector<std::string>> text;

    bool is_text(size_t col) const { return col < text.size() && !text[col].empty(); }

    size_t cols() const { return header.size(); }
    double at(size_t row, size_t col) const { return values[row * cols() + col]; }
    // "FILE:LINE: column C (NAME)", the place of a cell in messages.
    std::string where(size_t row, size_t col) const;
};

// Reads a comma-separated file a block of rows at a time, so that a file of
// any size can be worked through in bounded memory: no quoting, blank lines
// skipped, cells trimmed, CRLF and a UTF-8 byte-order mark accepted. Throws
// cli::Error naming file, line and column for a missing or unreadable file,
// an empty file, a bad or repeated name, a row with the wrong number of
// cells, or a cell that is not a finite number.
class CsvReader {
public:
    // Opens the file ("-": standard input) and reads the header.
    explicit CsvReader(const std::string &path);
    ~CsvReader();
    CsvReader(const CsvReader &) = delete;
    CsvReader &operator=(const CsvReader &) = delete;

    // For messages: the path, or "standard input".
    const std::string &path() const { return path_; }
    const std::vector<std::string> &header() const { return header_; }
    // Replaces the rows of `table` (whose header must be this file's) with
    // up to `max_rows` next rows; returns how many were read, 0 at the end.
    size_t read_rows(size_t max_rows, CsvTable *table);
    // True when no row is left.
    bool at_end();
    // Columns whose cells are kept as text, not numbers (labels that are
    // names, row ids, columns left out), one flag per column.
    void keep_as_text(const std::vector<bool> &columns) { text_ = columns; }

private:
    void read_header();
    void close();
    bool next_raw_line(std::string_view *line);
    bool next_line(std::string_view *line);  // the next non-blank line
    void parse_row(std::string_view line, CsvTable *table);

    // A line past this is no table (a file without line ends, /dev/zero):
    // refused before it fills the memory.
    static constexpr size_t kMaxLine = size_t{128} << 20;

    std::string path_;
    std::vector<std::string> header_;
    std::vector<bool> text_;
    bool is_stdin_ = false;
    std::FILE *file_ = nullptr;
    std::string data_;  // bytes read; lines are views into it
    size_t begin_ = 0, scanned_ = 0, end_ = 0;  // next line, searched up to, valid up to
    bool at_eof_ = false;
    long line_number_ = 0;
    std::string_view pending_;  // a line read ahead by at_end
    bool have_pending_ = false;
};

// The most cells (rows x columns) one table holds, unless QUORV_MAX_CELLS
// (a whole number >= 1) says otherwise: 2^26, 512 MiB of numbers. Reading more
// rows at once is refused with the line where the bound was met; a file read
// a block at a time (classify) holds far fewer.
constexpr size_t kMaxCells = size_t{1} << 26;
// The bound in force; throws Error for a QUORV_MAX_CELLS that is no count.
size_t max_cells();

// A table of the reader's file holding its first rows, up to `max_rows`;
// refuses a header without rows.
CsvTable first_rows(CsvReader &reader, size_t max_rows);

// The whole file in memory; also refuses a header without rows. Columns for
// which `as_text(header, col, context)` is true are kept as text.
using TextColumns = bool (*)(const std::vector<std::string> &header, size_t col, const void *context);
CsvTable read_csv(const std::string &path, TextColumns as_text = nullptr, const void *context = nullptr);

// Index of the column named `name`, or of its 1-based number when no column
// has that name; npos when neither.
size_t find_column(const std::vector<std::string> &header, const std::string &name);

}  // namespace cli

#endif
