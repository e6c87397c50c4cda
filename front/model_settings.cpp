// Version 4's settings table: each setting writes its values when it is on
// and reads them back; the table's order is the file's.
#include "model_settings.h"

#include "numbers.h"
#include "text.h"

#include <climits>
#include <cmath>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

namespace front {

namespace {

// Setting names are short words; the reader looks at this much of a line for one.
const size_t kMaxSettingName = 32;

void put(std::string *out, const char *key, const std::string &value)
{
    *out += key;
    *out += ' ';
    *out += value;
    *out += '\n';
}

bool finite(double v) { return std::isfinite(v); }

// Version 4's named settings, in the order the writer writes them and the
// reader requires. Each writes its values when it is not its default (off),
// and reads them back; a file without the record means the default.
struct Setting {
    const char *name;
    bool (*write)(const Model &m, std::string *values);
    void (*read)(Reader &in, std::string_view values, Model *m);
};

bool write_missing(const Model &m, std::string *values)
{
    if (m.missing_medians.empty())
        return false;
    *values = "median";
    for (double v : m.missing_medians)
        *values += " " + format_double(v);
    return true;
}

void read_missing(Reader &in, std::string_view values, Model *m)
{
    if (Reader::field(&values) != "median")
        in.fail("missing must be 'median' and a value per feature");
    for (size_t j = 0; j < m->cols(); ++j) {
        if (values.empty())
            in.fail("missing median has fewer values than the " + std::to_string(m->cols()) + " features");
        m->missing_medians.push_back(in.number(Reader::field(&values), "missing median", finite, "a finite number"));
    }
    if (!values.empty())
        in.fail("missing median has more values than the " + std::to_string(m->cols()) + " features");
}

bool write_oob(const Model &m, std::string *values)
{
    *values = std::string(m.oob.nearest ? "nearest " : "unknown ") + std::to_string(m.oob.correct) + " " +
              std::to_string(m.oob.rows);
    return m.oob.on;
}

// After training_patterns, which bounds the rows the estimate covers.
void read_oob(Reader &in, std::string_view values, Model *m)
{
    const std::string_view rule = Reader::field(&values);
    if (rule != "nearest" && rule != "unknown")
        in.fail("oob must be 'nearest' or 'unknown', then the patterns it got right and those it covers");
    const std::string_view correct = Reader::field(&values);
    m->oob.on = true;
    m->oob.nearest = rule == "nearest";
    m->oob.rows = in.integer(values, "oob patterns covered", 0, m->training_patterns);
    m->oob.correct = in.integer(correct, "oob patterns right", 0, m->oob.rows);
}

const Setting kSettings[] = {
    {"conflicts",
     [](const Model &m, std::string *values) {
         // Recorded when a merge changed what training saw; with none, a refit
         // with or without merging gives the same model.
         *values = "merge " + std::to_string(m.merged_patterns);
         return m.merge_conflicts && m.merged_patterns > 0;
     },
     [](Reader &in, std::string_view values, Model *m) {
         if (Reader::field(&values) != "merge")
             in.fail("conflicts must be 'merge COUNT'");
         m->merge_conflicts = true;
         m->merged_patterns = in.integer(values, "merged pattern count", 1, LONG_MAX);
     }},
    {"missing", write_missing, read_missing},
    {"oob", write_oob, read_oob},
};

}  // namespace

bool has_settings(const Model &m)
{
    std::string values;
    for (const Setting &s : kSettings)
        if (s.write(m, &values))
            return true;
    return false;
}

void put_settings(std::string *out, const Model &m)
{
    std::vector<std::pair<const char *, std::string>> present;
    for (const Setting &s : kSettings) {
        std::string values;
        if (s.write(m, &values))
            present.emplace_back(s.name, values);
    }
    put(out, "settings", std::to_string(present.size()));
    for (const auto &p : present)
        put(out, p.first, p.second);
}

// `settings N`, then N settings by name in table order, each at most once.
void read_settings(Reader &in, Model *m)
{
    const size_t count = static_cast<size_t>(
        in.integer(in.expect("settings"), "setting count", 1, static_cast<long>(std::size(kSettings))));
    size_t next = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::string_view head = in.peek(kMaxSettingName + 1);
        const std::string word(head.substr(0, head.find_first_of(" \r\n")));
        while (next < std::size(kSettings) && word != kSettings[next].name)
            ++next;
        const std::string_view values = in.expect(word.c_str());
        if (next == std::size(kSettings))
            in.fail("setting '" + excerpt(word) + "' is unknown, repeated or out of order");
        kSettings[next].read(in, values, m);
        ++next;
    }
}

void check_settings_fit(Reader &in, const Model &m)
{
    if (m.oob.on && !(m.forest.on && m.forest.sample.bootstrap))
        in.fail("oob is the estimate of a forest whose members draw their rows with replacement");
}

}  // namespace front
