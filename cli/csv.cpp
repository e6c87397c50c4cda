// CSV reading, strict: every fault names the file, the line and the column.
#include "csv.h"

#include "error.h"
#include "files.h"
#include "numbers.h"

#include <cmath>
#include <string_view>

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

std::vector<std::string_view> split_cells(std::string_view line)
{
    std::vector<std::string_view> cells;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        cells.push_back(trim(line.substr(start, comma - start)));
        if (comma == std::string_view::npos)
            return cells;
        start = comma + 1;
    }
}

std::string quoted(std::string_view cell)
{
    const size_t kShown = 40;  // keep a runaway cell from flooding the message
    std::string text(cell.substr(0, kShown));
    if (cell.size() > kShown)
        text += "...";
    return "'" + text + "'";
}

}  // namespace

std::string CsvTable::where(size_t row, size_t col) const
{
    return path + ":" + std::to_string(lines[row]) + ": column " + std::to_string(col + 1) + " (" +
           header[col] + ")";
}

CsvTable read_csv(const std::string &path)
{
    const std::string text = read_file(path);
    CsvTable table;
    table.path = path;

    std::string_view rest(text);
    if (rest.substr(0, 3) == "\xEF\xBB\xBF")  // byte-order mark of some spreadsheet exports
        rest.remove_prefix(3);
    long line_number = 0;
    bool have_header = false;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        ++line_number;
        if (trim(line).empty())
            continue;
        const std::vector<std::string_view> cells = split_cells(line);
        const std::string at = path + ":" + std::to_string(line_number) + ": ";

        if (!have_header) {
            have_header = true;
            for (size_t j = 0; j < cells.size(); ++j) {
                std::string_view name = cells[j];
                if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
                    name = name.substr(1, name.size() - 2);
                if (name.empty())
                    throw Error(at + "column " + std::to_string(j + 1) + " of the header has no name");
                for (size_t i = 0; i < j; ++i)
                    if (table.header[i] == name)
                        throw Error(at + "columns " + std::to_string(i + 1) + " and " +
                                    std::to_string(j + 1) + " are both named '" + std::string(name) + "'");
                table.header.emplace_back(name);
            }
            continue;
        }

        if (cells.size() != table.cols())
            throw Error(at + std::to_string(cells.size()) + (cells.size() == 1 ? " cell" : " cells") +
                        " where the header has " + std::to_string(table.cols()) + " columns");
        table.lines.push_back(line_number);
        for (size_t j = 0; j < cells.size(); ++j) {
            double value = 0;
            const std::string place = table.where(table.rows, j) + ": ";
            if (cells[j].empty())
                throw Error(place + "empty cell");
            if (!parse_double(cells[j], &value))
                throw Error(place + quoted(cells[j]) + " is not a number");
            if (!std::isfinite(value))
                throw Error(place + quoted(cells[j]) + " is not a finite number");
            table.values.push_back(value);
        }
        ++table.rows;
    }
    if (!have_header)
        throw Error(path + ": empty file");
    if (table.rows == 0)
        throw Error(path + ": no data rows after the header");
    return table;
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
