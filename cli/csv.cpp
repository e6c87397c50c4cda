// CSV reading, strict: every fault names the file, the line and the column.
#include "csv.h"

#include "error.h"
#include "front/text.h"
#include "numbers.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unordered_map>

namespace cli {

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string quoted(std::string_view cell)
{
    const size_t kShown = 40;  // keep a runaway cell from flooding the message
    std::string text(cell.substr(0, kShown));
    if (cell.size() > kShown)
        text += "...";
    return "'" + text + "'";
}

std::string cells_text(size_t n) { return std::to_string(n) + (n == 1 ? " cell" : " cells"); }

}  // namespace

std::string CsvTable::where(size_t row, size_t col) const
{
    return path + ":" + std::to_string(lines[row]) + ": column " + std::to_string(col + 1) + " (" +
           header[col] + ")";
}

CsvReader::CsvReader(const std::string &path) : path_(shown_path(path)), is_stdin_(path == "-")
{
    // "-" is standard input, read once from start to end like any file.
    file_ = is_stdin_ ? stdin : std::fopen(path.c_str(), "rb");
    if (!file_)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
#ifdef _WIN32
    if (is_stdin_)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    try {
        read_header();
    } catch (...) {
        close();  // no destructor runs for a constructor that throws
        throw;
    }
}

void CsvReader::close()
{
    if (file_ && !is_stdin_)
        std::fclose(file_);
    file_ = nullptr;
}

void CsvReader::read_header()
{
    struct stat s;
    if (fstat(fileno(file_), &s) == 0 && S_ISDIR(s.st_mode))
        throw Error("cannot read " + path_ + ": " + std::strerror(EISDIR));
    std::string_view line;
    if (!next_line(&line))
        throw Error(path_ + ": empty file");
    const bool has_cr = trim(line).find('\r') != std::string_view::npos;
    // Names are looked up in a hash table: a header of a million columns
    // takes a moment, not hours.
    std::unordered_map<std::string_view, size_t> seen;
    std::vector<std::string_view> names;
    for (size_t start = 0;;) {
        const size_t comma = line.find(',', start);
        names.push_back(trim(line.substr(start, comma - start)));
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    const std::string at = path_ + ":" + std::to_string(line_number_) + ": ";
    for (size_t j = 0; j < names.size(); ++j) {
        std::string_view name = names[j];
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
            name = name.substr(1, name.size() - 2);
        if (name.empty())
            throw Error(at + "column " + std::to_string(j + 1) + " of the header has no name");
        const auto inserted = seen.emplace(name, j);
        if (!inserted.second)
            throw Error(at + "columns " + std::to_string(inserted.first->second + 1) + " and " +
                        std::to_string(j + 1) + " are both named '" + std::string(name) + "'");
        header_.emplace_back(name);
    }
    if (has_cr && at_end())
        throw Error(path_ + ": lines end in CR alone (old Mac text); save the file with LF or CR LF line ends");
}

CsvReader::~CsvReader() { close(); }

bool CsvReader::next_raw_line(std::string_view *line)
{
    for (;;) {
        const void *newline = std::memchr(&data_[scanned_], '\n', end_ - scanned_);
        if (newline) {
            const size_t at = static_cast<size_t>(static_cast<const char *>(newline) - data_.data());
            *line = std::string_view(&data_[begin_], at - begin_);
            begin_ = scanned_ = at + 1;
            return true;
        }
        scanned_ = end_;
        if (at_eof_) {
            if (begin_ == end_)
                return false;
            *line = std::string_view(&data_[begin_], end_ - begin_);  // the last line, without its end
            begin_ = end_;
            return true;
        }
        // Keep the unfinished line, move it to the front and read more after it.
        if (end_ - begin_ > kMaxLine)
            throw Error(path_ + ":" + std::to_string(line_number_ + 1) + ": a line longer than " +
                        std::to_string(kMaxLine >> 20) + " MB (is this a CSV file?)");
        data_.erase(0, begin_);
        end_ -= begin_;
        scanned_ -= begin_;
        begin_ = 0;
        // Reads of a quarter of the buffer at least; it grows (from 64 KB up
        // to just past the longest line allowed) only for a line that needs it.
        if (data_.size() - end_ < data_.size() / 4 + 1)
            data_.resize(std::min(std::max<size_t>(size_t{1} << 16, 2 * data_.size()), kMaxLine + (size_t{1} << 20)));
        const size_t got = std::fread(&data_[end_], 1, data_.size() - end_, file_);
        end_ += got;
        if (got == 0) {
            if (std::ferror(file_))
                throw Error("cannot read " + path_ + ": " + std::strerror(errno ? errno : EIO));
            at_eof_ = true;
        }
    }
}

bool CsvReader::next_line(std::string_view *line)
{
    if (have_pending_) {
        have_pending_ = false;
        *line = pending_;
        return true;
    }
    std::string_view text;
    while (next_raw_line(&text)) {
        ++line_number_;
        if (line_number_ == 1 && text.substr(0, 3) == "\xEF\xBB\xBF")  // byte-order mark of some spreadsheet exports
            text.remove_prefix(3);
        if (!trim(text).empty()) {
            *line = text;
            return true;
        }
    }
    return false;
}

bool CsvReader::at_end()
{
    if (have_pending_)
        return false;
    have_pending_ = next_line(&pending_);
    return !have_pending_;
}

void CsvReader::parse_row(std::string_view line, CsvTable *table)
{
    const size_t cols = header_.size();
    size_t cells = 1;
    for (char ch : line)
        cells += ch == ',';
    if (cells != cols)
        throw Error(path_ + ":" + std::to_string(line_number_) + ": " + cells_text(cells) + " where the header has " +
                    std::to_string(cols) + " columns");
    for (size_t j = 0, start = 0; j < cols; ++j) {
        const size_t comma = line.find(',', start);
        const std::string_view cell = trim(line.substr(start, comma - start));
        start = comma + 1;
        // The place of a cell is spelled out only for a message.
        const auto place = [&] {
            return path_ + ":" + std::to_string(line_number_) + ": column " + std::to_string(j + 1) + " (" +
                   header_[j] + "): ";
        };
        if (j < text_.size() && text_[j]) {
            table->text[j].emplace_back(cell);
            table->values.push_back(0);
            continue;
        }
        double value = 0;
        if (cell.empty())
            throw Error(place() + "empty cell");
        bool out_of_range = false;
        if (!parse_double(cell, &value, &out_of_range))
            throw Error(place() + quoted(cell) + (out_of_range ? " is out of the range of doubles" : " is not a number"));
        if (!std::isfinite(value))
            throw Error(place() + quoted(cell) + " is not a finite number");
        table->values.push_back(value);
    }
    table->lines.push_back(line_number_);
}

size_t max_cells()
{
    const char *set = std::getenv("QUORV_MAX_CELLS");
    if (!set || !*set)
        return kMaxCells;
    long cells = 0;
    if (!parse_long(set, 1, std::numeric_limits<long>::max(), &cells))
        throw Error("QUORV_MAX_CELLS: '" + front::excerpt(set) + "' is not a whole number >= 1");
    return static_cast<size_t>(cells);
}

size_t CsvReader::read_rows(size_t max_rows, CsvTable *table)
{
    table->values.clear();
    table->lines.clear();
    table->rows = 0;
    table->text.assign(header_.size(), {});
    // Rows held at once: a file read whole (standard input that never ends
    // included) meets this bound before the memory runs out.
    const size_t most = max_cells() / std::max<size_t>(header_.size(), 1);
    std::string_view line;
    while (table->rows < max_rows && next_line(&line)) {
        if (table->rows == most)
            throw Error(path_ + ":" + std::to_string(line_number_) + ": more than " + std::to_string(max_cells()) +
                        " cells (rows x columns) to hold at once; QUORV_MAX_CELLS raises this bound");
        parse_row(line, table);
        ++table->rows;
    }
    return table->rows;
}

CsvTable first_rows(CsvReader &reader, size_t max_rows)
{
    CsvTable table;
    table.path = reader.path();
    table.header = reader.header();
    if (reader.read_rows(max_rows, &table) == 0)
        throw Error(reader.path() + ": no data rows after the header");
    return table;
}

CsvTable read_csv(const std::string &path, TextColumns as_text, const void *context)
{
    CsvReader reader(path);
    if (as_text) {
        std::vector<bool> text(reader.header().size());
        for (size_t j = 0; j < text.size(); ++j)
            text[j] = as_text(reader.header(), j, context);
        reader.keep_as_text(text);
    }
    return first_rows(reader, std::numeric_limits<size_t>::max());
}

size_t find_column(const std::vector<std::string> &header, const std::string &name)
{
    for (size_t j = 0; j < header.size(); ++j)
        if (header[j] == name)
            return j;
    long number = 0;
    if (parse_long(name, 1, static_cast<long>(header.size()), &number))
        return static_cast<size_t>(number - 1);
    return std::string::npos;
}

}  // namespace cli
