// The model file: one record a line, a keyword then its values, every double
// in the shortest text that reads back to the same bits.
#include "model.h"

#include "error.h"
#include "files.h"
#include "numbers.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string_view>
#include <unordered_set>

namespace cli {

namespace {

const char kMagic[] = "quorv-model";
const long kVersion = 2;
// Template rows hold 2M values in a plug-in int.
const long kMaxFeatures = INT_MAX / 2;
// A voting model's members each cost a plug-in call per classification.
const long kMaxMembers = 1000;

void put(std::string *out, const char *key, const std::string &value)
{
    *out += key;
    *out += ' ';
    *out += value;
    *out += '\n';
}

// Walks the text line by line; every record must come in its place.
class Reader {
public:
    Reader(const std::string &text, const std::string &path) : rest_(text), path_(path) {}

    [[noreturn]] void fail(const std::string &what) const
    {
        throw Error(path_ + ":" + std::to_string(line_) + ": " + what);
    }

    void expect_end()
    {
        ++line_;
        if (!rest_.empty())
            fail("unexpected text after the last node");
    }

    // The text after "key " on the next line. A line may end in CR LF (a file
    // saved by a Windows editor); blanks at its end are refused, since the
    // file would no longer read back to the same text.
    std::string_view expect(const char *key)
    {
        const size_t end = rest_.find('\n');
        ++line_;
        if (rest_.empty())
            fail(std::string("ends where '") + key + "' was expected");
        if (end == std::string_view::npos)
            fail("last line has no line end");
        std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string_view prefix = key;
        if (line.size() <= prefix.size() || line.substr(0, prefix.size()) != prefix || line[prefix.size()] != ' ')
            fail(std::string("expected '") + key + " ...', found '" + std::string(line.substr(0, 40)) + "'");
        if (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')
            fail("blank at the end of the line");
        return line.substr(prefix.size() + 1);
    }

    // A name: the rest of the line, as the CSV reader would have trimmed it.
    std::string name(std::string_view text, const char *what) const
    {
        if (text.empty())
            fail(std::string(what) + " has no name");
        if (text.front() == ' ' || text.front() == '\t')
            fail(std::string(what) + " name '" + std::string(text.substr(0, 40)) + "' begins with a blank");
        return std::string(text);
    }

    // A number the reader then holds to `fits`: "WHAT 'TEXT' in the model
    // file is not RANGE".
    double number(std::string_view text, const char *what, bool (*fits)(double), const char *range) const
    {
        const double value = number(text, what);
        if (!fits(value))
            fail(std::string(what) + " '" + std::string(text) + "' in the model file is not " + range);
        return value;
    }

    double number(std::string_view text, const char *what) const
    {
        double value = 0;
        if (!parse_double(text, &value))
            fail(std::string(what) + " '" + std::string(text) + "' is not a number");
        return value;
    }

    long integer(std::string_view text, const char *what, long lo, long hi) const
    {
        long value = 0;
        if (!parse_long(text, lo, hi, &value))
            fail(std::string(what) + " '" + std::string(text) + "' is not a whole number in [" +
                 std::to_string(lo) + ", " + std::to_string(hi) + "]");
        return value;
    }

    // Splits off the next blank-separated field of `text`.
    static std::string_view field(std::string_view *text)
    {
        const size_t blank = text->find(' ');
        const std::string_view first = text->substr(0, blank);
        text->remove_prefix(blank == std::string_view::npos ? text->size() : blank + 1);
        return first;
    }

private:
    std::string_view rest_;
    std::string path_;
    long line_ = 0;
};

bool finite(double v) { return std::isfinite(v); }

void put_nodes(std::string *out, size_t cols, double list_presentations, size_t nodes,
               const std::vector<double> &templates, const std::vector<double> &labels)
{
    put(out, "list_presentations", format_double(list_presentations));
    put(out, "nodes", std::to_string(nodes));
    const size_t width = 2 * cols;
    for (size_t k = 0; k < nodes; ++k) {
        std::string row = format_double(labels[k]);
        for (size_t j = 0; j < width; ++j)
            row += " " + format_double(templates[k * width + j]);
        put(out, "node", row);
    }
}

// The records of one member's nodes; node labels must be classes when the
// model names its classes.
Member read_nodes(Reader &in, const Model &m, const std::vector<ClassName> *classes)
{
    Member member;
    member.list_presentations = static_cast<double>(
        in.integer(in.expect("list_presentations"), "list_presentations", 0, m.params.max_list_presentations));
    member.nodes = static_cast<size_t>(in.integer(in.expect("nodes"), "node count", 1, INT_MAX));
    const size_t width = 2 * m.cols();
    for (size_t k = 0; k < member.nodes; ++k) {
        std::string_view rest = in.expect("node");
        const double label = in.number(Reader::field(&rest), "node label");
        if (!is_int32_whole(label))
            in.fail("node label " + format_double(label) + " is not a whole number in the int range");
        if (classes && std::none_of(classes->begin(), classes->end(),
                                    [label](const ClassName &c) { return c.code == label; }))
            in.fail("node label " + format_double(label) + " is not a class of the model");
        member.labels.push_back(label);
        for (size_t j = 0; j < width; ++j) {
            if (rest.empty())
                in.fail("node has " + std::to_string(j) + " bounds, not " + std::to_string(width));
            member.templates.push_back(in.number(Reader::field(&rest), "node bound", finite, "a finite number"));
        }
        if (!rest.empty())
            in.fail("node has more than " + std::to_string(width) + " bounds");
        const double *row = &member.templates[k * width];
        for (size_t j = 0; j < m.cols(); ++j)
            if (!(row[j] <= row[m.cols() + j]))
                in.fail("node " + std::to_string(k + 1) + ": lower bound " + format_double(row[j]) +
                        " is above the upper bound " + format_double(row[m.cols() + j]) + " of feature '" +
                        m.feature_names[j] + "'");
    }
    return member;
}

}  // namespace

Model Model::member(size_t i) const
{
    Model one = *this;
    one.voters.clear();
    if (i > 0) {
        const Member &m = voters.at(i - 1);
        one.list_presentations = m.list_presentations;
        one.nodes = m.nodes;
        one.templates = m.templates;
        one.labels = m.labels;
    }
    return one;
}

std::string Model::class_name(double code) const { return class_name_of(classes, code); }

// Format 1 holds one member trained in file order, whose classes are numbers
// named by themselves, with nodes in every class, and no ignored columns.
bool fits_format_1(const Model &m)
{
    if (!m.voters.empty() || m.shuffle_seed >= 0 || !m.ignored.empty())
        return false;
    const std::vector<double> labels = distinct_labels(m.labels);
    if (labels.size() != m.classes.size())
        return false;
    for (size_t c = 0; c < labels.size(); ++c)
        if (m.classes[c].code != labels[c] || m.classes[c].name != format_double(labels[c]))
            return false;
    return true;
}

std::string model_text(const Model &model)
{
    Model upgraded;
    const bool v1 = model.version == 1 && fits_format_1(model);
    if (model.version == 1 && !v1) {
        upgraded = model;
        upgraded.version = 2;
    }
    const Model &m = model.version == 1 && !v1 ? upgraded : model;
    std::string out;
    put(&out, kMagic, std::to_string(m.version == 1 ? 1 : kVersion));
    put(&out, "label_column", m.label_name);
    put(&out, "scaling", m.scaling.enabled ? "min-max" : "none");
    put(&out, "features", std::to_string(m.cols()));
    for (size_t j = 0; j < m.cols(); ++j)
        put(&out, "feature",
            format_double(m.scaling.min[j]) + " " + format_double(m.scaling.max[j]) + " " + m.feature_names[j]);
    if (m.version != 1) {
        put(&out, "ignored", std::to_string(m.ignored.size()));
        for (const std::string &name : m.ignored)
            put(&out, "ignore", name);
        put(&out, "classes", std::to_string(m.classes.size()));
        for (const ClassName &c : m.classes)
            put(&out, "class", format_double(c.code) + " " + c.name);
    }
    put(&out, "training_patterns", std::to_string(m.training_patterns));
    put(&out, "vigilance", format_double(m.params.vigilance));
    put(&out, "min_size", format_double(m.params.min_size));
    put(&out, "learning_rate", format_double(m.params.learning_rate));
    put(&out, "epsilon", format_double(m.params.epsilon));
    put(&out, "max_list_presentations", std::to_string(m.params.max_list_presentations));
    put(&out, "trim_option", std::to_string(m.params.trim_option));
    if (m.version == 1) {
        put_nodes(&out, m.cols(), m.list_presentations, m.nodes, m.templates, m.labels);
        return out;
    }
    put(&out, "order", m.shuffle_seed < 0 ? "file" : "shuffled " + std::to_string(m.shuffle_seed));
    put(&out, "members", std::to_string(m.members()));
    for (size_t i = 0; i < m.members(); ++i) {
        put(&out, "member", std::to_string(i + 1));
        if (i == 0)
            put_nodes(&out, m.cols(), m.list_presentations, m.nodes, m.templates, m.labels);
        else
            put_nodes(&out, m.cols(), m.voters[i - 1].list_presentations, m.voters[i - 1].nodes,
                      m.voters[i - 1].templates, m.voters[i - 1].labels);
    }
    return out;
}

Model parse_model(const std::string &text, const std::string &path)
{
    Reader in(text, path);
    Model m;
    if (text.compare(0, sizeof kMagic, std::string(kMagic) + " ") != 0)
        throw Error(path + " is not a quorv model file (its first line is not '" + kMagic + " " +
                    std::to_string(kVersion) + "')");
    const std::string_view version = in.expect(kMagic);
    if (version != "1" && version != std::to_string(kVersion))
        in.fail("model format version '" + std::string(version) + "' is not supported (this quorv reads 1 to " +
                std::to_string(kVersion) + ")");
    m.version = version == "1" ? 1 : 2;

    m.label_name = in.name(in.expect("label_column"), "label column");
    const std::string_view scaling = in.expect("scaling");
    if (scaling != "min-max" && scaling != "none")
        in.fail("scaling must be 'min-max' or 'none'");
    m.scaling.enabled = scaling == "min-max";

    const long features = in.integer(in.expect("features"), "feature count", 1, kMaxFeatures);
    std::unordered_set<std::string> names = {m.label_name};
    for (long j = 0; j < features; ++j) {
        std::string_view rest = in.expect("feature");
        const double lo = in.number(Reader::field(&rest), "feature minimum", finite, "a finite number");
        const double hi = in.number(Reader::field(&rest), "feature maximum", finite, "a finite number");
        const std::string name = in.name(rest, "feature");
        if (!(lo <= hi))
            in.fail("feature '" + name + "': minimum " + format_double(lo) + " is above the maximum " +
                    format_double(hi));
        if (m.scaling.enabled && !std::isfinite(hi - lo))
            in.fail("feature '" + name + "': the range from " + format_double(lo) + " to " + format_double(hi) +
                    " is too wide to scale");
        if (!names.insert(name).second)
            in.fail("name '" + name + "' is used twice");
        m.scaling.min.push_back(lo);
        m.scaling.max.push_back(hi);
        m.feature_names.push_back(name);
    }
    if (m.version == 2) {
        const long ignored = in.integer(in.expect("ignored"), "ignored column count", 0, INT_MAX);
        for (long j = 0; j < ignored; ++j) {
            const std::string name = in.name(in.expect("ignore"), "ignored column");
            if (!names.insert(name).second)
                in.fail("name '" + name + "' is used twice");
            m.ignored.push_back(name);
        }
        const long classes = in.integer(in.expect("classes"), "class count", 1, INT_MAX);
        std::unordered_set<std::string> class_names;
        for (long c = 0; c < classes; ++c) {
            std::string_view rest = in.expect("class");
            ClassName entry;
            entry.code = in.number(Reader::field(&rest), "class code");
            entry.name = in.name(rest, "class");
            if (!is_int32_whole(entry.code))
                in.fail("class code " + format_double(entry.code) + " is not a whole number in the int range");
            if (!m.classes.empty() && !(m.classes.back().code < entry.code))
                in.fail("class codes must ascend");
            if (!class_names.insert(entry.name).second)
                in.fail("class name '" + entry.name + "' is used twice");
            m.classes.push_back(entry);
        }
    }

    // The training parameters, each in the range the training plug-in accepts.
    m.training_patterns = in.integer(in.expect("training_patterns"), "training pattern count", 1, LONG_MAX);
    m.params.vigilance = in.number(in.expect("vigilance"), "vigilance", [](double v) { return v >= 0 && v <= 1; },
                                   "a number in [0, 1]");
    const std::string_view min_size = in.expect("min_size");
    m.params.min_size = in.number(min_size, "min_size", [](double v) { return v >= 0; }, "a number >= 0");
    if (!(m.params.min_size <= static_cast<double>(features) * (1.0 - m.params.vigilance)))
        in.fail("min_size '" + std::string(min_size) + "' in the model file is above M*(1-vigilance)");
    m.params.learning_rate = in.number(in.expect("learning_rate"), "learning_rate",
                                       [](double v) { return v > 0 && v <= 1; }, "a number in (0, 1]");
    m.params.epsilon = in.number(in.expect("epsilon"), "epsilon", [](double v) { return v >= 0 && std::isfinite(v); },
                                 "a finite number >= 0");
    m.params.max_list_presentations =
        in.integer(in.expect("max_list_presentations"), "max_list_presentations", 1, INT_MAX);
    m.params.trim_option = in.integer(in.expect("trim_option"), "trim_option", 0, 1);

    size_t members = 1;
    if (m.version == 2) {
        const std::string_view order = in.expect("order");
        if (order == "file")
            m.shuffle_seed = -1;
        else if (order.substr(0, 9) == "shuffled ")
            m.shuffle_seed = in.integer(order.substr(9), "shuffle seed", 0, LONG_MAX / 2);
        else
            in.fail("order must be 'file' or 'shuffled SEED'");
        members = static_cast<size_t>(in.integer(in.expect("members"), "member count", 1, kMaxMembers));
    }
    for (size_t i = 0; i < members; ++i) {
        if (m.version == 2 && in.expect("member") != std::to_string(i + 1))
            in.fail("expected 'member " + std::to_string(i + 1) + "'");
        Member nodes = read_nodes(in, m, m.version == 2 ? &m.classes : nullptr);
        if (i == 0) {
            m.list_presentations = nodes.list_presentations;
            m.nodes = nodes.nodes;
            m.templates = std::move(nodes.templates);
            m.labels = std::move(nodes.labels);
        } else {
            m.voters.push_back(std::move(nodes));
        }
    }
    in.expect_end();
    if (m.version == 1)  // format 1 knows labels as numbers only
        for (double label : distinct_labels(m.labels))
            m.classes.push_back({label, format_double(label)});
    return m;
}

Model read_model(const std::string &path)
{
    const auto starts_like_a_model = [](std::string_view start) {
        const std::string_view magic = "quorv-model ";
        const size_t n = std::min(start.size(), magic.size());
        return start.substr(0, n) == magic.substr(0, n);
    };
    return parse_model(read_file(path, starts_like_a_model), path);
}

}  // namespace cli
