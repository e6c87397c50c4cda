// CSV reading, strict: every fault names the file, the line and the column,
// and the option that would read the file when there is one.
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
#include <unistd.h>
#include <unordered_map>
#ifdef QUORV_HAVE_ZLIB
#include <zlib.h>
#endif

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

namespace {

bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

// Cells that pandas, R and spreadsheets write for a missing value.
bool is_missing(std::string_view cell)
{
    return cell.empty() || cell == "NA" || cell == "NaN" || cell == "nan" || cell == "#N/A" || cell == "N/A";
}

std::string delimiter_name(char delimiter)
{
    return delimiter == '\t' ? "tab" : std::string("'") + delimiter + "'";
}

// Whether a quote is still open after `text`, starting from `*open`; a quote
// opens only at the start of a cell, as spreadsheets write them. Linear, so
// that a record of many lines costs no more than its bytes.
// With `counts`, each delimiter found outside quotes is counted by its place in `delimiters`.
void scan_quotes(std::string_view text, const char *delimiters, bool *open, bool *cell_start,
                 size_t *counts = nullptr)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (*open) {
            if (ch == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"')
                    ++i;
                else
                    *open = false;
            }
        } else if (std::strchr(delimiters, ch) && ch != '\0') {
            *cell_start = true;
            if (counts)
                ++counts[std::strchr(delimiters, ch) - delimiters];
        } else if (ch == '"' && *cell_start) {
            *open = true;
            *cell_start = false;
        } else if (!is_blank(ch)) {
            *cell_start = false;
        }
    }
}

// How often each candidate delimiter occurs outside quotes.
struct DelimiterCounts {
    static constexpr char kCandidates[4] = ",;\t";
    size_t counts[3] = {0, 0, 0};

    explicit DelimiterCounts(std::string_view row)
    {
        bool open = false, cell_start = true;
        scan_quotes(row, kCandidates, &open, &cell_start, counts);
    }
    size_t kinds() const { return (counts[0] > 0) + (counts[1] > 0) + (counts[2] > 0); }
};

// The delimiter of a file: the one candidate its first row holds outside
// quotes; of several, the one the next row holds as often, when just one does.
char detect_delimiter(std::string_view first, const std::string *second, const std::string &at)
{
    const DelimiterCounts head(first);
    if (head.kinds() <= 1) {
        for (size_t k = 0; k < 3; ++k)
            if (head.counts[k] > 0)
                return DelimiterCounts::kCandidates[k];
        return ',';  // one column
    }
    if (second) {
        const DelimiterCounts next(*second);
        char chosen = 0;
        size_t agreeing = 0;
        for (size_t k = 0; k < 3; ++k)
            if (head.counts[k] > 0 && next.counts[k] == head.counts[k]) {
                chosen = DelimiterCounts::kCandidates[k];
                ++agreeing;
            }
        if (agreeing == 1)
            return chosen;
    }
    std::string found;
    for (size_t k = 3; k-- > 0;)
        if (head.counts[k] > 0)
            found = delimiter_name(DelimiterCounts::kCandidates[k]) + (found.empty() ? "" : " and " + found);
    throw Error(at + "the first row holds both " + found +
                ", so either could separate the cells: pass --delimiter ',', --delimiter ';' or --delimiter tab");
}

std::string not_finite(std::string_view cell)
{
    double value = 0;
    return parse_double(cell, &value) ? " is not a finite number" : " is not a number";
}

// What to pass when a number cell holds text.
std::string not_a_number_hint(std::string_view cell, const std::string &name, const CsvFormat &format)
{
    double value = 0;
    std::string dotted(cell);
    std::replace(dotted.begin(), dotted.end(), ',', '.');
    if (!format.decimal_comma && format.delimiter != ',' && parse_double(dotted, &value))
        return " (decimal commas: pass --decimal-comma)";
    return " (a column of ids or text: --ignore '" + name + "' leaves it out; --label-column '" + name +
           "' makes it the label)";
}

}  // namespace

CsvReader::CsvReader(const std::string &path, const CsvFormat &format)
    : path_(shown_path(path)), format_(format), is_stdin_(path == "-")
{
    const bool gz = !is_stdin_ && path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
    // "-" is standard input, read once from start to end like any file.
    file_ = is_stdin_ ? stdin : std::fopen(path.c_str(), "rb");
    if (!file_)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
#ifdef _WIN32
    if (is_stdin_)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    try {
        struct stat s;
        if (fstat(fileno(file_), &s) == 0 && S_ISDIR(s.st_mode))
            throw Error("cannot read " + path_ + ": " + std::strerror(EISDIR));
        if (gz) {
#ifndef QUORV_HAVE_ZLIB
            throw Error("cannot read " + path_ + ": this build reads no .gz files; decompress it first");
#else
            // zlib takes its own descriptor, so that closing it leaves file_ to us.
            const int fd = dup(fileno(file_));
            gz_ = fd < 0 ? nullptr : gzdopen(fd, "rb");
            if (!gz_) {
                if (fd >= 0)
                    ::close(fd);
                throw Error("cannot read " + path_ + ": " + std::strerror(errno ? errno : ENOMEM));
            }
            gzbuffer(static_cast<gzFile>(gz_), 1 << 16);
#endif
        }
        read_header();
    } catch (...) {
        close();  // no destructor runs for a constructor that throws
        throw;
    }
}

void CsvReader::close()
{
#ifdef QUORV_HAVE_ZLIB
    if (gz_)
        gzclose(static_cast<gzFile>(gz_));
#endif
    gz_ = nullptr;
    if (file_ && !is_stdin_)
        std::fclose(file_);
    file_ = nullptr;
}

std::string CsvReader::at_line() const { return path_ + ":" + std::to_string(record_line_) + ": "; }

void CsvReader::read_header()
{
    std::string_view line;
    if (!next_record(&line))
        throw Error(path_ + ": empty file");
    const bool has_cr = line.find('\r') != std::string_view::npos;
    if (format_.delimiter == 0 && DelimiterCounts(line).kinds() > 1) {
        // Two kinds in the first row: the second row decides, read ahead
        // with the first kept, since reading may move the buffer.
        const std::string first(line);
        const long first_line = record_line_;
        const bool more = format_.header && !at_end();  // without a header, the first row waits as data
        const std::string second = more ? std::string(pending_) : std::string();
        record_line_ = first_line;
        format_.delimiter = detect_delimiter(first, more ? &second : nullptr, at_line());
        header_text_ = first;
        line = header_text_;
    } else if (format_.delimiter == 0) {
        format_.delimiter = detect_delimiter(line, nullptr, at_line());
    }
    if (format_.decimal_comma && format_.delimiter == ',')
        throw Error(at_line() + "--decimal-comma reads ',' as the decimal mark, but ',' separates the cells; "
                                "decimal commas go with --delimiter ';' or --delimiter tab");
    split(line);
    if (format_.header) {
        take_names(cells_);
    } else {
        std::vector<std::string_view> numbers;
        std::vector<std::string> texts;
        for (size_t j = 0; j < cells_.size(); ++j)
            texts.push_back(std::to_string(j + 1));
        for (const std::string &t : texts)
            numbers.push_back(t);
        take_names(numbers);
        pending_ = line;  // the first row is data
        pending_line_ = record_line_;
        have_pending_ = true;
    }
    if (has_cr && at_end())
        throw Error(path_ + ": lines end in CR alone (old Mac text); save the file with LF or CR LF line ends");
}

void CsvReader::take_names(const std::vector<std::string_view> &names)
{
    // Names are looked up in a hash table: a header of a million columns
    // takes a moment, not hours. A column without a name (pandas' index) is
    // refused only when it is used (cli/dataset.cpp), so that --ignore can
    // leave it out by number.
    std::unordered_map<std::string_view, size_t> seen;
    const std::string at = at_line();
    bool fractions = false;  // names such as 5.1 are data, not names
    for (size_t j = 0; j < names.size(); ++j) {
        double value = 0;
        fractions = fractions || (parse_double(names[j], &value) && !is_int32_whole(value));
        header_.emplace_back(names[j]);
    }
    if (fractions && format_.header)
        throw Error(at + "the header row holds numbers that are no names: a file without a header row reads with --no-header");
    for (size_t j = 0; j < header_.size(); ++j) {
        const auto inserted = seen.emplace(header_[j], j);
        if (!inserted.second)
            throw Error(at + "columns " + std::to_string(inserted.first->second + 1) + " and " +
                        std::to_string(j + 1) + " are both named '" + header_[j] + "'");
    }
}

CsvReader::~CsvReader() { close(); }

size_t CsvReader::fill(char *to, size_t size)
{
    if (!gz_)
        return std::fread(to, 1, size, file_);
#ifndef QUORV_HAVE_ZLIB
    return 0;
#else
    const int got = gzread(static_cast<gzFile>(gz_), to, static_cast<unsigned>(std::min<size_t>(size, 1u << 30)));
    if (got < 0) {
        int code = 0;
        const char *text = gzerror(static_cast<gzFile>(gz_), &code);
        throw Error("cannot read " + path_ + ": " + (code == Z_ERRNO ? std::strerror(errno) : text) +
                    " (a .gz file must be gzip-compressed)");
    }
    int code = Z_OK;
    gzerror(static_cast<gzFile>(gz_), &code);
    if (got == 0 && code == Z_BUF_ERROR)  // zlib's word for a stream that stops early
        throw Error("cannot read " + path_ + ": the compressed data ends early (a file cut short?)");
    return static_cast<size_t>(got);
#endif
}

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
        const size_t got = fill(&data_[end_], data_.size() - end_);
        end_ += got;
        if (got == 0) {
            if (!gz_ && std::ferror(file_))
                throw Error("cannot read " + path_ + ": " + std::strerror(errno ? errno : EIO));
            at_eof_ = true;
        }
    }
}

bool CsvReader::next_line(std::string_view *line)
{
    std::string_view text;
    while (next_raw_line(&text)) {
        ++line_number_;
        if (line_number_ == 1 && text.substr(0, 3) == "\xEF\xBB\xBF")  // byte-order mark of some spreadsheet exports
            text.remove_prefix(3);
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        if (!trim(text).empty()) {
            *line = text;
            return true;
        }
    }
    return false;
}

bool CsvReader::next_record(std::string_view *record)
{
    if (have_pending_) {
        have_pending_ = false;
        *record = pending_;
        record_line_ = pending_line_;
        return true;
    }
    if (!next_line(record))
        return false;
    record_line_ = line_number_;
    if (std::memchr(record->data(), '"', record->size()) == nullptr)
        return true;  // the common case: no quotes, one line
    const char *delimiters = format_.delimiter ? (format_.delimiter == ',' ? "," : format_.delimiter == ';' ? ";" : "\t")
                                               : ",;\t";
    bool open = false, cell_start = true;
    scan_quotes(*record, delimiters, &open, &cell_start);
    if (!open)
        return true;
    // A quoted cell holds a line break: the record goes on, blank lines included.
    joined_.assign(record->data(), record->size());
    while (open) {
        std::string_view more;
        if (!next_raw_line(&more))
            throw Error(at_line() + "a quote opened on this line is never closed");
        ++line_number_;
        if (!more.empty() && more.back() == '\r')
            more.remove_suffix(1);
        if (joined_.size() > kMaxLine)
            throw Error(at_line() + "a quoted cell longer than " + std::to_string(kMaxLine >> 20) +
                        " MB (is a closing quote missing?)");
        joined_ += '\n';
        joined_.append(more.data(), more.size());
        scan_quotes(more, delimiters, &open, &cell_start);
    }
    *record = joined_;
    return true;
}

void CsvReader::split(std::string_view record)
{
    cells_.clear();
    const char delimiter = format_.delimiter;
    if (std::memchr(record.data(), '"', record.size()) == nullptr) {
        for (size_t start = 0;;) {
            const size_t end = record.find(delimiter, start);
            cells_.push_back(trim(record.substr(start, end - start)));
            if (end == std::string_view::npos)
                return;
            start = end + 1;
        }
    }
    // Unescaped cells never outgrow the record: views into unquoted_ stay valid.
    unquoted_.clear();
    unquoted_.reserve(record.size());
    size_t i = 0;
    for (;;) {
        while (i < record.size() && is_blank(record[i]) && record[i] != delimiter)
            ++i;
        if (i < record.size() && record[i] == '"') {
            const size_t from = unquoted_.size();
            for (++i;; ++i) {
                if (i >= record.size())
                    throw Error(at_line() + "column " + std::to_string(cells_.size() + 1) +
                                ": a quote that is never closed");
                if (record[i] == '"') {
                    if (i + 1 < record.size() && record[i + 1] == '"')
                        ++i;
                    else
                        break;
                }
                unquoted_ += record[i];
            }
            cells_.emplace_back(unquoted_.data() + from, unquoted_.size() - from);
            ++i;
            while (i < record.size() && is_blank(record[i]) && record[i] != delimiter)
                ++i;
            if (i < record.size() && record[i] != delimiter)
                throw Error(at_line() + "column " + std::to_string(cells_.size()) + ": text after the closing quote " +
                            "of a quoted cell (cells are separated by " + delimiter_name(delimiter) +
                            "; --delimiter picks another)");
        } else {
            const size_t end = std::min(record.find(delimiter, i), record.size());
            cells_.push_back(trim(record.substr(i, end - i)));
            i = end;
        }
        if (i >= record.size())
            return;
        ++i;  // past the delimiter
        if (i == record.size()) {
            cells_.emplace_back();  // a last empty cell
            return;
        }
    }
}

bool CsvReader::at_end()
{
    if (have_pending_)
        return false;
    have_pending_ = next_record(&pending_);
    pending_line_ = record_line_;
    return !have_pending_;
}

void CsvReader::parse_row(std::string_view record, CsvTable *table)
{
    const size_t cols = header_.size();
    split(record);
    if (cells_.size() != cols)
        throw Error(at_line() + cells_text(cells_.size()) + " where the header has " + std::to_string(cols) +
                    " columns (cells are separated by " + delimiter_name(format_.delimiter) +
                    "; --delimiter picks another, and a cell holding the separator must be quoted)");
    std::string number;
    for (size_t j = 0; j < cols; ++j) {
        std::string_view cell = cells_[j];
        // The place of a cell is spelled out only for a message.
        const auto place = [&] {
            return at_line() + "column " + std::to_string(j + 1) + " (" + header_[j] + "): ";
        };
        if (j < text_.size() && text_[j]) {
            table->text[j].emplace_back(cell);
            table->values.push_back(0);
            continue;
        }
        if (is_missing(cell)) {
            if (!format_.missing)
                throw Error(place() + (cell.empty() ? std::string("empty cell") : quoted(cell) + not_finite(cell)) +
                            " (a missing value: --missing median fills it with the training median, "
                            "--ignore leaves the column out)");
            table->values.push_back(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        if (format_.decimal_comma) {
            if (cell.find('.') != std::string_view::npos)
                throw Error(place() + quoted(cell) + " has a '.', where --decimal-comma reads ',' as the decimal mark");
            number.assign(cell.data(), cell.size());
            std::replace(number.begin(), number.end(), ',', '.');
            cell = number;
        }
        double value = 0;
        bool out_of_range = false;
        if (!parse_double(cell, &value, &out_of_range))
            throw Error(place() + quoted(cells_[j]) + (out_of_range ? " is out of the range of doubles" : " is not a number") +
                        not_a_number_hint(cells_[j], header_[j], format_));
        if (!std::isfinite(value))
            throw Error(place() + quoted(cells_[j]) + " is not a finite number");
        table->values.push_back(value);
    }
    table->lines.push_back(record_line_);
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
    while (table->rows < max_rows && next_record(&line)) {
        if (table->rows == most)
            throw Error(at_line() + "more than " + std::to_string(max_cells()) +
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

CsvTable read_csv(const std::string &path, TextColumns as_text, const void *context, const CsvFormat &format)
{
    CsvReader reader(path, format);
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
