// Numeric CSV tables: a header row of names, then rows of numbers.
#ifndef QUORV_CLI_CSV_H
#define QUORV_CLI_CSV_H

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

struct CsvTable {
    std::string path;
    std::vector<std::string> header;  // one name per column
    size_t rows = 0;
    std::vector<double> values;       // row-major, rows x header.size(), all finite
    std::vector<long> lines;          // source line of each row, for messages

    size_t cols() const { return header.size(); }
    double at(size_t row, size_t col) const { return values[row * cols() + col]; }
    // "FILE:LINE: column C (NAME)", the place of a cell in messages.
    std::string where(size_t row, size_t col) const;
};

// Reads a comma-separated file: no quoting, blank lines skipped, cells
// trimmed, CRLF accepted. Throws cli::Error naming file, line and column for a
// missing or unreadable file, an empty file, a header without rows, a bad or
// repeated name, a row with the wrong number of cells, or a cell that is not a
// finite number.
CsvTable read_csv(const std::string &path);

// Index of the column named `name`, or of its 1-based number when no column
// has that name; npos when neither.
size_t find_column(const std::vector<std::string> &header, const std::string &name);

}  // namespace cli

#endif
