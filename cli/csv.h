// Numeric CSV tables: a header row of names (or column numbers), then rows
// of numbers.
//
// Our own parser, not a Debian library, by measurement on the streaming
// test's file: libcsv splits cells up to a fifth faster (a few percent of a
// classify run) but tells no line numbers, which every message here names;
// fccp, twice as fast, fixes the column count at compile time and refuses a
// line break in a quoted cell.
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
    std::vector<double> values;       // row-major, rows x header.size(), finite or NaN for a missing cell
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

// How a file's cells are written: what separates them, the decimal mark,
// whether a header row names the columns, whether empty cells are allowed.
struct CsvFormat {
    char delimiter = 0;          // ',', ';' or '\t'; 0: detected from the header (see CsvReader)
    bool decimal_comma = false;  // number cells "1,5" mean 1.5 (not with ',' between cells)
    bool header = true;          // false: the first row is data, the columns are named 1, 2, ...
    bool missing = false;        // empty number cells (and NA, NaN, #N/A) read as NaN, else refused
};

// Reads a delimited text file a block of rows at a time, so that a file of
// any size can be worked through in bounded memory. Cells may be quoted as
// spreadsheets and pandas write them (RFC 4180: a quoted cell holds the
// delimiter, doubled quotes and line breaks); blank lines are skipped, cells
// trimmed, CRLF and a UTF-8 byte-order mark accepted, and a file whose name
// ends in .gz is read through zlib. Without a given delimiter the header row
// (the first row with --no-header) decides: the one of ',' ';' and tab it
// holds outside quotes; a row holding none is one column; a row holding two
// kinds is refused, since either could be the one. Throws cli::Error naming
// file, line and column, and the option that reads the file when one would,
// for a missing or unreadable file, an empty file, a bad or repeated name, a
// row with the wrong number of cells, or a cell that is not a finite number.
class CsvReader {
public:
    // Opens the file ("-": standard input) and reads the header.
    explicit CsvReader(const std::string &path, const CsvFormat &format = {});
    ~CsvReader();
    CsvReader(const CsvReader &) = delete;
    CsvReader &operator=(const CsvReader &) = delete;

    // For messages: the path, or "standard input".
    const std::string &path() const { return path_; }
    const std::vector<std::string> &header() const { return header_; }
    char delimiter() const { return format_.delimiter; }
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
    void take_names(const std::vector<std::string_view> &names);
    void close();
    size_t fill(char *to, size_t size);
    bool next_raw_line(std::string_view *line);
    bool next_line(std::string_view *line);    // the next non-blank line, its CR dropped
    bool next_record(std::string_view *record);  // a line, or lines joined while a quote is open
    void split(std::string_view record);       // into cells_
    void parse_row(std::string_view record, CsvTable *table);
    std::string at_line() const;               // "FILE:LINE: "

    // A line past this is no table (a file without line ends, /dev/zero):
    // refused before it fills the memory.
    static constexpr size_t kMaxLine = size_t{128} << 20;

    std::string path_;
    CsvFormat format_;
    std::vector<std::string> header_;
    std::vector<bool> text_;
    bool is_stdin_ = false;
    std::FILE *file_ = nullptr;
    void *gz_ = nullptr;  // the zlib stream of a .gz file
    std::string data_;    // bytes read; lines are views into it
    size_t begin_ = 0, scanned_ = 0, end_ = 0;  // next line, searched up to, valid up to
    bool at_eof_ = false;
    long line_number_ = 0;
    long record_line_ = 0;       // first line of the last record
    std::string joined_;         // a record of several lines
    std::string header_text_;    // the header, when the row after it was read to find the delimiter
    std::string unquoted_;       // the quoted cells of a record, unescaped
    std::vector<std::string_view> cells_;
    std::string_view pending_;   // a record read ahead by at_end
    long pending_line_ = 0;
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
CsvTable read_csv(const std::string &path, TextColumns as_text = nullptr, const void *context = nullptr,
                  const CsvFormat &format = {});

// Index of the column named `name`, or of its 1-based number when no column
// has that name; npos when neither.
size_t find_column(const std::vector<std::string> &header, const std::string &name);

}  // namespace cli

#endif
