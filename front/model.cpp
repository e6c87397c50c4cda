// The model file: one record a line, a keyword then its values, every double
// in the shortest text that reads back to the same bits.
#include "model.h"

#include "draws.h"
#include "error.h"
#include "gzip.h"
#include "model_reader.h"
#include "model_rows.h"
#include "model_settings.h"
#include "numbers.h"
#include "text.h"
#include "model/cores.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>


namespace front {

namespace {

const char kMagic[] = "quorv-model";
const long kVersion = 4;
// Template rows hold 2M values in a plug-in int.
const long kMaxFeatures = INT_MAX / 2;

void put(std::string *out, const char *key, const std::string &value)
{
    *out += key;
    *out += ' ';
    *out += value;
    *out += '\n';
}

bool finite(double v) { return std::isfinite(v); }

void put_nodes(std::string *out, size_t cols, const Member &member)
{
    put(out, "list_presentations", std::to_string(static_cast<long>(member.list_presentations)));
    put(out, "nodes", std::to_string(member.nodes));
    const size_t width = 2 * cols;
    for (size_t k = 0; k < member.nodes; ++k) {
        std::string row = format_double(member.labels.at(k));
        for (size_t j = 0; j < width; ++j)
            row += " " + format_double(member.templates.at(k * width + j));
        put(out, "node", row);
    }
}

// The records of one member's nodes (over `features`, all when empty) into
// m.members[i]; node labels must be classes when the model names its
// classes. The rows themselves go to `rows`.
void read_nodes(Reader &in, Model &m, size_t i, const std::unordered_set<double> *classes, RowPipeline &rows)
{
    Member &member = m.members[i];
    member.list_presentations = static_cast<double>(
        in.integer(in.expect("list_presentations"), "list_presentations", 0, m.params.max_list_presentations));
    member.nodes = static_cast<size_t>(in.integer(in.expect("nodes"), "node count", 1, INT_MAX));
    RowRules rules;
    rules.classes = classes;
    rules.names = &m.feature_names;
    rules.features = member.features;
    rules.cols = member.features.empty() ? m.cols() : member.features.size();
    rules.keep_bounds = in.keeps_bounds();
    const size_t nodes = member.nodes;
    rows.begin_member(i, std::move(rules));
    for (size_t k = 0; k < nodes; ++k)
        rows.row(in.expect("node"));
}

// A forest's seed, sample rule and features per member (format 3).
void read_forest_draws(Reader &in, Model *m)
{
    const std::string_view order = in.expect("order");
    if (order.substr(0, 8) != "sampled ")
        in.fail("a forest's order must be 'sampled SEED'");
    m->shuffle_seed = in.integer(order.substr(8), "forest seed", 0, kMaxSeed);
    std::string_view sample = in.expect("sample");
    const long rows = in.integer(Reader::field(&sample), "rows per member", 1, INT_MAX);
    if (sample != "with_replacement" && sample != "without_replacement")
        in.fail("sample must be 'ROWS with_replacement' or 'ROWS without_replacement'");
    m->forest.on = true;
    m->forest.sample = {static_cast<size_t>(rows), sample == "with_replacement"};
    // The writer's rows per member are at most the training patterns, with
    // replacement as without: a refit could not draw more.
    if (rows > m->training_patterns)
        in.fail("sample of " + std::to_string(rows) + " rows " +
                (m->forest.sample.bootstrap ? "with" : "without") + " replacement from " +
                std::to_string(m->training_patterns) + " training patterns");
    m->forest.features = static_cast<size_t>(
        in.integer(in.expect("member_features"), "features per member", 1, static_cast<long>(m->cols())));
    // Each member's boxes span its own features: the training plug-in's bound on min_size.
    if (!(m->params.min_size <= static_cast<double>(m->forest.features) * (1.0 - m->params.vigilance)))
        in.fail("min_size " + format_double(m->params.min_size) + " is above F*(1-vigilance) for the " +
                std::to_string(m->forest.features) + " features of a member");
}

// Member i's features (1-based in the file), which must be the ones its seed draws.
std::vector<size_t> read_uses(Reader &in, const Model &m, size_t i)
{
    std::string_view rest = in.expect("uses");
    std::vector<size_t> features;
    while (!rest.empty())
        features.push_back(static_cast<size_t>(
            in.integer(Reader::field(&rest), "feature number", 1, static_cast<long>(m.cols())) - 1));
    const std::vector<size_t> drawn =
        member_features(m.cols(), m.forest.features, static_cast<std::uint64_t>(m.shuffle_seed), i);
    if (features != drawn)
        in.fail("member " + std::to_string(i + 1) + " uses other features than its seed " +
                std::to_string(static_cast<std::uint64_t>(m.shuffle_seed) + i) + " draws (was the file changed?)");
    return features;
}

// Format 1 holds one member trained in file order, whose classes are numbers
// named by themselves, with nodes in every class, and no ignored columns.
bool fits_format_1(const Model &m)
{
    if (m.members.size() != 1 || m.shuffle_seed >= 0 || !m.ignored.empty() || m.forest.on || has_settings(m))
        return false;
    const std::vector<double> labels = distinct_labels(m.members[0].labels);
    if (labels.size() != m.classes.size())
        return false;
    for (size_t c = 0; c < labels.size(); ++c)
        if (m.classes[c].code != labels[c] || m.classes[c].name != format_double(labels[c]))
            return false;
    return true;
}

std::string text_of(const Model &m)
{
    std::string out;
    const bool settings = has_settings(m);
    put(&out, kMagic, std::to_string(settings ? 4 : m.version == 1 ? 1 : m.forest.on ? 3 : 2));
    put(&out, "label_column", m.label_name);
    put(&out, "scaling", m.scaling.enabled ? "min-max" : "none");
    put(&out, "features", std::to_string(m.cols()));
    for (size_t j = 0; j < m.cols(); ++j)
        put(&out, "feature",
            format_double(m.scaling.min.at(j)) + " " + format_double(m.scaling.max.at(j)) + " " +
                m.feature_names[j]);
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
    if (settings)
        put_settings(&out, m);
    if (m.version == 1) {
        put_nodes(&out, m.cols(), m.members.at(0));
        return out;
    }
    if (m.forest.on) {
        put(&out, "order", "sampled " + std::to_string(m.shuffle_seed));
        put(&out, "sample", std::to_string(m.forest.sample.rows) +
                                (m.forest.sample.bootstrap ? " with_replacement" : " without_replacement"));
        put(&out, "member_features", std::to_string(m.forest.features));
    } else {
        put(&out, "order", m.shuffle_seed < 0 ? "file" : "shuffled " + std::to_string(m.shuffle_seed));
    }
    put(&out, "members", std::to_string(m.members.size()));
    for (size_t i = 0; i < m.members.size(); ++i) {
        put(&out, "member", std::to_string(i + 1));
        if (m.forest.on) {
            std::string uses;
            for (size_t j : m.members[i].features)
                uses += (uses.empty() ? "" : " ") + std::to_string(j + 1);
            put(&out, "uses", uses);
        }
        put_nodes(&out, m.member_cols(i), m.members[i]);
    }
    return out;
}

// A name the rest of a line holds and gives back unchanged.
void check_name(const std::string &name, const char *what)
{
    const bool blank_end = !name.empty() && (name.back() == ' ' || name.back() == '\t');
    if (name.find_first_of("\r\n") != std::string::npos || blank_end)
        throw Error(std::string("the model cannot be written: ") + what + " name '" + excerpt(name) + "' " +
                    (blank_end ? "ends with a blank" : "holds a line break"));
}

}  // namespace

ParamFault check_params(const TrainParams &p, size_t features)
{
    const auto fault = [](const char *name, const std::string &value, const char *range) {
        return ParamFault{name, std::string(name) + " " + value + " is not " + range};
    };
    if (!(p.vigilance >= 0 && p.vigilance <= 1))
        return fault("vigilance", format_double(p.vigilance), "a number in [0, 1]");
    if (!(p.min_size >= 0 && std::isfinite(p.min_size)))
        return fault("min_size", format_double(p.min_size), "a number >= 0");
    // The training plug-in's own bound, computed as it does.
    const double bound = static_cast<double>(features) * (1.0 - p.vigilance);
    if (!(p.min_size <= bound))
        return ParamFault{"min_size", "min_size " + format_double(p.min_size) + " is above " + format_double(bound) +
                                          ", the largest box size M*(1-vigilance) for " + std::to_string(features) +
                                          (features == 1 ? " feature" : " features") + " at vigilance " +
                                          format_double(p.vigilance)};
    if (!(p.learning_rate > 0 && p.learning_rate <= 1))
        return fault("learning_rate", format_double(p.learning_rate), "a number in (0, 1]");
    if (!(p.epsilon >= 0 && std::isfinite(p.epsilon)))
        return fault("epsilon", format_double(p.epsilon), "a finite number >= 0");
    if (p.max_list_presentations < 1 || p.max_list_presentations > INT_MAX)
        return fault("max_list_presentations", std::to_string(p.max_list_presentations),
                     "a whole number in [1, 2147483647]");
    if (p.trim_option != 0 && p.trim_option != 1)
        return fault("trim_option", std::to_string(p.trim_option), "0 or 1");
    return ParamFault();
}

size_t Model::total_nodes() const
{
    size_t n = 0;
    for (const Member &m : members)
        n += m.nodes;
    return n;
}

Model Model::member(size_t i) const
{
    Model one;
    one.version = version;
    one.feature_names = feature_names;
    one.label_name = label_name;
    one.ignored = ignored;
    one.classes = classes;
    one.scaling = scaling;
    one.params = params;
    one.training_patterns = training_patterns;
    one.shuffle_seed = shuffle_seed;
    one.members.push_back(members.at(i));
    one.missing_medians = missing_medians;
    if (forest.on) {  // a model of the member's own features; its draw is told by its parent
        const std::vector<size_t> used = one.members[0].features;
        one.version = 2;
        one.shuffle_seed = -1;
        one.feature_names.clear();
        one.scaling.min.clear();
        one.scaling.max.clear();
        for (size_t j : used) {
            one.feature_names.push_back(feature_names.at(j));
            one.scaling.min.push_back(scaling.min.at(j));
            one.scaling.max.push_back(scaling.max.at(j));
        }
        if (!missing_medians.empty()) {
            one.missing_medians.clear();
            for (size_t j : used)
                one.missing_medians.push_back(missing_medians.at(j));
        }
        one.members[0].features.clear();
    }
    return one;
}

const ClassName *find_class(const std::vector<ClassName> &classes, double code)
{
    const auto at = std::lower_bound(classes.begin(), classes.end(), code,
                                     [](const ClassName &c, double value) { return c.code < value; });
    return at != classes.end() && at->code == code ? &*at : nullptr;
}

std::string class_name_of(const std::vector<ClassName> &classes, double code)
{
    const ClassName *c = find_class(classes, code);
    return c ? c->name : format_double(code);
}

std::string Model::class_name(double code) const { return class_name_of(classes, code); }

std::vector<double> distinct_labels(const std::vector<double> &labels)
{
    std::vector<double> distinct(labels);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    return distinct;
}

std::string model_text(const Model &model)
{
    if (model.members.empty())
        throw Error("the model cannot be written: it has no members");
    for (const std::string &name : model.feature_names)
        check_name(name, "feature");
    check_name(model.label_name, "label column");
    for (const std::string &name : model.ignored)
        check_name(name, "ignored column");
    for (const ClassName &c : model.classes)
        check_name(c.name, "class");
    std::string text;
    // Layout: 1 when it fits, else 2, or 3 for a forest (a file of version 4
    // follows 2 or 3 by whether it is a forest).
    const int layout = model.version == 1 && fits_format_1(model) ? 1 : model.forest.on ? 3 : 2;
    if (layout != model.version) {
        Model upgraded = model;
        upgraded.version = layout;
        text = text_of(upgraded);
    } else {
        text = text_of(model);
    }
    // What is written must read back: the reader's rules, applied once more.
    try {
        parse_model(text, "");
    } catch (const Error &e) {
        throw Error(std::string("the model cannot be written, since it would not read back: ") + e.what());
    }
    return text;
}

namespace {

// The first line: the magic word and a version this reader knows.
int read_version(Reader &in, const std::string &path)
{
    const std::string magic = std::string(kMagic) + " ";
    if (in.peek(magic.size()) != magic)
        throw Error((path.empty() ? std::string("the text") : path) + " is not a quorv model file (its first line is not '" +
                    kMagic + " " + std::to_string(kVersion) + "')");
    const std::string_view version = in.expect(kMagic);
    if (version != "1" && version != "2" && version != "3" && version != "4")
        in.fail("model format version '" + excerpt(version) + "' is not supported (this quorv reads 1 to " +
                std::to_string(kVersion) + ")");
    return version[0] - '0';
}

// The label column, the scaling and the features with their ranges; `names`
// collects every column name, which must differ.
void read_features(Reader &in, Model &m, std::unordered_set<std::string> *names)
{
    m.label_name = in.name(in.expect("label_column"), "label column");
    const std::string_view scaling = in.expect("scaling");
    if (scaling != "min-max" && scaling != "none")
        in.fail("scaling must be 'min-max' or 'none'");
    m.scaling.enabled = scaling == "min-max";

    const long features = in.integer(in.expect("features"), "feature count", 1, kMaxFeatures);
    names->insert(m.label_name);
    for (long j = 0; j < features; ++j) {
        std::string_view rest = in.expect("feature");
        const double lo = in.number(Reader::field(&rest), "feature minimum", finite, "a finite number");
        const double hi = in.number(Reader::field(&rest), "feature maximum", finite, "a finite number");
        std::string name = in.name(rest, "feature");
        if (!(lo <= hi))
            in.fail("feature '" + excerpt(name) + "': minimum " + format_double(lo) + " is above the maximum " +
                    format_double(hi));
        if (m.scaling.enabled && !std::isfinite(hi - lo))
            in.fail("feature '" + excerpt(name) + "': the range from " + format_double(lo) + " to " +
                    format_double(hi) + " is too wide to scale");
        if (!names->insert(name).second)
            in.fail("name '" + excerpt(name) + "' is used twice");
        m.scaling.min.push_back(lo);
        m.scaling.max.push_back(hi);
        m.feature_names.push_back(std::move(name));
    }
}

// Version 2 on: the columns left out and the named classes, whose codes
// go into *codes.
void read_classes(Reader &in, Model &m, std::unordered_set<std::string> *names, std::unordered_set<double> *codes)
{
    const long ignored = in.integer(in.expect("ignored"), "ignored column count", 0, INT_MAX);
    for (long j = 0; j < ignored; ++j) {
        std::string name = in.name(in.expect("ignore"), "ignored column");
        if (!names->insert(name).second)
            in.fail("name '" + excerpt(name) + "' is used twice");
        m.ignored.push_back(std::move(name));
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
            in.fail("class name '" + excerpt(entry.name) + "' is used twice");
        codes->insert(entry.code);
        m.classes.push_back(std::move(entry));
    }
}

// The training parameters, each in the range the training plug-in accepts.
void read_params(Reader &in, Model &m)
{
    m.training_patterns = in.integer(in.expect("training_patterns"), "training pattern count", 1, LONG_MAX);
    m.params.vigilance = in.number(in.expect("vigilance"), "vigilance", [](double v) { return v >= 0 && v <= 1; },
                                   "a number in [0, 1]");
    const std::string_view min_size = in.expect("min_size");
    m.params.min_size = in.number(min_size, "min_size", [](double v) { return v >= 0; }, "a number >= 0");
    if (!(m.params.min_size <= static_cast<double>(m.cols()) * (1.0 - m.params.vigilance)))
        in.fail("min_size '" + excerpt(min_size) + "' in the model file is above M*(1-vigilance)");
    m.params.learning_rate = in.number(in.expect("learning_rate"), "learning_rate",
                                       [](double v) { return v > 0 && v <= 1; }, "a number in (0, 1]");
    m.params.epsilon = in.number(in.expect("epsilon"), "epsilon", [](double v) { return v >= 0 && std::isfinite(v); },
                                 "a finite number >= 0");
    m.params.max_list_presentations =
        in.integer(in.expect("max_list_presentations"), "max_list_presentations", 1, INT_MAX);
    m.params.trim_option = in.integer(in.expect("trim_option"), "trim_option", 0, 1);
    if (m.version == 4)
        read_settings(in, &m);
}

// How the rows were ordered or drawn: version 2's order, version 3's draws.
void read_order(Reader &in, Model &m)
{
    const std::string forest_order = "order sampled ";
    if (m.version == 2 || (m.version == 4 && in.peek(forest_order.size()) != forest_order)) {
        const std::string_view order = in.expect("order");
        if (order == "file")
            m.shuffle_seed = -1;
        else if (order.substr(0, 9) == "shuffled ")
            m.shuffle_seed = in.integer(order.substr(9), "shuffle seed", 0, kMaxSeed);
        else
            in.fail("order must be 'file' or 'shuffled SEED'");
    } else if (m.version >= 3) {
        read_forest_draws(in, &m);
    }
    check_settings_fit(in, m);
}

// The members and their nodes: one without a header in version 1. Rows are
// judged on `spread.threads` threads; a refusal is still the first in the file.
void read_members(Reader &in, Model &m, const std::unordered_set<double> &codes, const ReadSpread &spread)
{
    size_t members = 1;
    if (m.version >= 2)
        members = static_cast<size_t>(in.integer(in.expect("members"), "member count", 1, kMaxMembers));
    if (m.version == 3) {
        const std::string fault = forest_draws_fault(members, m.forest.features, m.cols());
        if (!fault.empty())
            in.fail(fault);
    }
    RowPipeline rows(&m, in, spread.threads > 0 ? spread.threads : allowed_threads(), spread.batch);
    try {
        for (size_t i = 0; i < members; ++i) {
            if (m.version >= 2 && in.expect("member") != std::to_string(i + 1))
                in.fail("expected 'member " + std::to_string(i + 1) + "'");
            Member member;
            if (m.forest.on)
                member.features = read_uses(in, m, i);
            m.members.push_back(std::move(member));
            read_nodes(in, m, i, m.version >= 2 ? &codes : nullptr, rows);
        }
        // Text after the last node is refused after every row is judged.
        in.expect_end();
    } catch (...) {
        rows.fail_after(std::current_exception());
    }
    rows.finish();
}

// The records in their order. Each version's records are read by the steps
// above, which ask m.version what it holds; a later version adds its own
// step (or records within one) and raises kVersion, and model_text writes
// them in the same order.
Model read_records(Reader &in, const std::string &path, const ReadSpread &spread)
{
    Model m;
    m.version = read_version(in, path);
    std::unordered_set<std::string> names;
    std::unordered_set<double> codes;
    read_features(in, m, &names);
    if (m.version >= 2)
        read_classes(in, m, &names, &codes);
    read_params(in, m);
    read_order(in, m);
    read_members(in, m, codes, spread);
    if (m.version == 1)  // format 1 knows labels as numbers only
        for (double label : distinct_labels(m.members[0].labels))
            m.classes.push_back({label, format_double(label)});
    return m;
}

}  // namespace

Model parse_model(const std::string &text, const std::string &path, const ReadSpread &spread)
{
    ModelLines lines(text);
    Reader in(lines, path);
    return read_records(in, path, spread);
}

bool gzip_path(const std::string &path) { return path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0; }

std::string model_file_bytes(const Model &model, const std::string &path)
{
    if (!gzip_path(path))
        return model_text(model);
#ifdef QUORV_HAVE_ZLIB
    return gzip_text(model_text(model));
#else
    throw Error("cannot write " + path + ": this build writes no .gz files");
#endif
}

namespace {

// The model at `path`; its bounds only checked when `bounds` is false.
Model read_model_file(const std::string &path, bool bounds, const ReadSpread &spread)
{
    if (gzip_path(path)) {
#ifdef QUORV_HAVE_ZLIB
        GzipInput gz(path);
        ModelLines lines(&gz, path);
        Reader in(lines, path);
        if (!bounds)
            in.check_bounds_only();
        return read_records(in, path, spread);
#else
        throw Error("cannot read " + path + ": this build reads no .gz files");
#endif
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file && errno == ENOENT && path == "-")
        throw Error("cannot read -: a model is read from a file, not from standard input (./- names a file called -)");
    if (!file)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
    // Line by line: memory bounded by the model, not by the file.
    const std::unique_ptr<std::FILE, int (*)(std::FILE *)> closing(file, std::fclose);
    ModelLines lines(file, path);
    Reader in(lines, path);
    if (!bounds)
        in.check_bounds_only();
    return read_records(in, path, spread);
}

}  // namespace

Model read_model(const std::string &path, const ReadSpread &spread) { return read_model_file(path, true, spread); }

Model read_model_outline(const std::string &path, const ReadSpread &spread)
{
    return read_model_file(path, false, spread);
}

}  // namespace front
