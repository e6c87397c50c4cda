// quorv_model_mex: the core library (front/) bound for Octave and MATLAB, so
// that quorv_fit, quorv_predict, quorv_read_model and quorv_write_model run
// the tool's own rules (model file, scaling, class codes, draws, parameter
// checks and the classification policy) instead of copies of them.
//
// What it keeps true: a model struct holds exactly what front::Model holds,
// and struct -> Model -> struct gives it back; classification asks the
// quorv_perf plug-in on the path for every member's answers (through the
// host), so the plug-ins stay the only learners and classifiers. Every C++
// object lives inside run(), which returns before the host's error routine is
// called, so a refused call leaks nothing and unwinds no host frame.
#include "front/classes.h"
#include "front/draws.h"
#include "front/error.h"
#include "front/files.h"
#include "front/forest.h"
#include "front/merge.h"
#include "front/model.h"
#include "front/numbers.h"
#include "front/policy.h"
#include "front/scaling.h"

#include "mex.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using front::Error;

// ---- host arrays in ----

std::string text_of(const mxArray *a, const char *what)
{
    if (!a || !mxIsChar(a) || (mxGetM(a) > 1 && mxGetNumberOfElements(a) > 0))
        throw Error(std::string(what) + " must be a character row");
    char *s = mxArrayToString(a);  // UTF-8 in Octave and current MATLAB
    if (!s)
        throw Error(std::string(what) + " cannot be read as text");
    std::string out(s);
    mxFree(s);
    return out;
}

std::vector<double> doubles_of(const mxArray *a, const char *what)
{
    if (!a || !mxIsDouble(a) || mxIsComplex(a) || mxIsSparse(a))
        throw Error(std::string(what) + " must be a real double array");
    const double *p = mxGetPr(a);
    const size_t n = mxGetNumberOfElements(a);
    return n ? std::vector<double>(p, p + n) : std::vector<double>();
}

double scalar_of(const mxArray *a, const char *what)
{
    if (!a || (!mxIsNumeric(a) && !mxIsLogical(a)) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
        throw Error(std::string(what) + " must be a real scalar");
    return mxGetScalar(a);
}

// A whole number in [lo, hi], from a double or an int64 (seeds beyond 2^53).
std::int64_t whole_of(const mxArray *a, const char *what, std::int64_t lo, std::int64_t hi)
{
    if (a && mxIsInt64(a) && mxGetNumberOfElements(a) == 1) {
        const std::int64_t v = *static_cast<const std::int64_t *>(mxGetData(a));
        if (v >= lo && v <= hi)
            return v;
    } else {
        const double v = scalar_of(a, what);
        if (v == std::floor(v) && v >= static_cast<double>(lo) && v <= static_cast<double>(hi) &&
            std::fabs(v) <= 9007199254740992.0)
            return static_cast<std::int64_t>(v);
    }
    throw Error(std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                std::to_string(hi));
}

std::vector<std::string> texts_of(const mxArray *a, const char *what)
{
    if (!a || !mxIsCell(a))
        throw Error(std::string(what) + " must be a cell array of character rows");
    std::vector<std::string> out;
    for (size_t i = 0; i < mxGetNumberOfElements(a); ++i)
        out.push_back(text_of(mxGetCell(a, i), what));
    return out;
}

const mxArray *field_of(const mxArray *s, const char *name, size_t i = 0)
{
    const mxArray *f = mxGetField(s, i, name);
    if (!f)
        throw Error(std::string("the model has no field '") + name + "'");
    return f;
}

// A host matrix (column-major) as a row-major block.
std::vector<double> row_major(const mxArray *a, size_t *rows, size_t *cols, const char *what)
{
    const std::vector<double> v = doubles_of(a, what);
    *rows = mxGetM(a);
    *cols = mxGetN(a);
    std::vector<double> out(v.size());
    for (size_t i = 0; i < *rows; ++i)
        for (size_t j = 0; j < *cols; ++j)
            out[i * *cols + j] = v[j * *rows + i];
    return out;
}

// ---- host arrays out ----

mxArray *matrix(const std::vector<double> &row_major_values, size_t rows, size_t cols)
{
    mxArray *a = mxCreateDoubleMatrix(rows, cols, mxREAL);
    double *p = mxGetPr(a);
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j)
            p[j * rows + i] = row_major_values[i * cols + j];
    return a;
}

mxArray *column(const std::vector<double> &v) { return matrix(v, v.size(), 1); }
mxArray *row(const std::vector<double> &v) { return matrix(v, 1, v.size()); }

// Positions counted from 1, as Octave indexes.
mxArray *positions(const std::vector<size_t> &v)
{
    std::vector<double> d(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        d[i] = static_cast<double>(v[i] + 1);
    return row(d);
}

mxArray *texts(const std::vector<std::string> &v, bool as_column)
{
    mxArray *c = as_column ? mxCreateCellMatrix(v.size(), 1) : mxCreateCellMatrix(1, v.size());
    for (size_t i = 0; i < v.size(); ++i)
        mxSetCell(c, i, mxCreateString(v[i].c_str()));
    return c;
}

mxArray *int64_scalar(std::int64_t v)
{
    mxArray *a = mxCreateNumericMatrix(1, 1, mxINT64_CLASS, mxREAL);
    *static_cast<std::int64_t *>(mxGetData(a)) = v;
    return a;
}

// ---- the model as a struct ----

const char *const kModelFields[] = {
    "version",     "feature_names", "label_name",   "ignored",       "class_codes",       "class_names",
    "scaled",      "feature_min",   "feature_max",  "vigilance",     "min_size",          "learning_rate",
    "epsilon",     "max_list_presentations",        "trim_option",   "training_patterns", "shuffle_seed",
    "members",     "forest",        "merged_patterns", "missing_medians", "oob"};
const char *const kMemberFields[] = {"templates", "labels", "list_presentations", "features"};
const char *const kForestFields[] = {"sample_rows", "bootstrap", "features"};

template <size_t N>
int count(const char *const (&)[N])
{
    return static_cast<int>(N);
}

mxArray *members_struct(const front::Model &m)
{
    mxArray *s =
        mxCreateStructMatrix(1, m.members.size(), count(kMemberFields), const_cast<const char **>(kMemberFields));
    for (size_t i = 0; i < m.members.size(); ++i) {
        const front::Member &member = m.members[i];
        mxSetField(s, i, "templates", matrix(member.templates, member.nodes, 2 * m.member_cols(i)));
        mxSetField(s, i, "labels", column(member.labels));
        mxSetField(s, i, "list_presentations", mxCreateDoubleScalar(member.list_presentations));
        mxSetField(s, i, "features", m.forest.on ? positions(member.features) : mxCreateDoubleMatrix(0, 0, mxREAL));
    }
    return s;
}

mxArray *model_struct(const front::Model &m)
{
    mxArray *s = mxCreateStructMatrix(1, 1, count(kModelFields), const_cast<const char **>(kModelFields));
    std::vector<double> codes;
    std::vector<std::string> names;
    for (const front::ClassName &c : m.classes) {
        codes.push_back(c.code);
        names.push_back(c.name);
    }
    mxSetField(s, 0, "version", mxCreateDoubleScalar(m.version));
    mxSetField(s, 0, "feature_names", texts(m.feature_names, false));
    mxSetField(s, 0, "label_name", mxCreateString(m.label_name.c_str()));
    mxSetField(s, 0, "ignored", texts(m.ignored, false));
    mxSetField(s, 0, "class_codes", column(codes));
    mxSetField(s, 0, "class_names", texts(names, true));
    mxSetField(s, 0, "scaled", mxCreateLogicalScalar(m.scaling.enabled));
    mxSetField(s, 0, "feature_min", row(m.scaling.min));
    mxSetField(s, 0, "feature_max", row(m.scaling.max));
    mxSetField(s, 0, "vigilance", mxCreateDoubleScalar(m.params.vigilance));
    mxSetField(s, 0, "min_size", mxCreateDoubleScalar(m.params.min_size));
    mxSetField(s, 0, "learning_rate", mxCreateDoubleScalar(m.params.learning_rate));
    mxSetField(s, 0, "epsilon", mxCreateDoubleScalar(m.params.epsilon));
    mxSetField(s, 0, "max_list_presentations",
               mxCreateDoubleScalar(static_cast<double>(m.params.max_list_presentations)));
    mxSetField(s, 0, "trim_option", mxCreateDoubleScalar(static_cast<double>(m.params.trim_option)));
    mxSetField(s, 0, "training_patterns", mxCreateDoubleScalar(static_cast<double>(m.training_patterns)));
    mxSetField(s, 0, "shuffle_seed", int64_scalar(m.shuffle_seed));
    mxSetField(s, 0, "merged_patterns",
               mxCreateDoubleScalar(m.merge_conflicts ? static_cast<double>(m.merged_patterns) : 0.0));
    mxSetField(s, 0, "missing_medians", row(m.missing_medians));
    // A forest's out-of-bag estimate: [nearest right covered], empty when not computed.
    mxSetField(s, 0, "oob", row(m.oob.on ? std::vector<double>{m.oob.nearest ? 1.0 : 0.0, static_cast<double>(m.oob.correct),
                                                               static_cast<double>(m.oob.rows)}
                                         : std::vector<double>()));
    mxSetField(s, 0, "members", members_struct(m));
    if (m.forest.on) {
        mxArray *f = mxCreateStructMatrix(1, 1, count(kForestFields), const_cast<const char **>(kForestFields));
        mxSetField(f, 0, "sample_rows", mxCreateDoubleScalar(static_cast<double>(m.forest.sample.rows)));
        mxSetField(f, 0, "bootstrap", mxCreateLogicalScalar(m.forest.sample.bootstrap));
        mxSetField(f, 0, "features", mxCreateDoubleScalar(static_cast<double>(m.forest.features)));
        mxSetField(s, 0, "forest", f);
    } else {
        mxSetField(s, 0, "forest", mxCreateDoubleMatrix(0, 0, mxREAL));
    }
    return s;
}

front::Member member_of(const mxArray *members, size_t i, const front::Model &m)
{
    front::Member member;
    member.labels = doubles_of(field_of(members, "labels", i), "a member's labels");
    member.list_presentations = scalar_of(field_of(members, "list_presentations", i), "list_presentations");
    member.nodes = member.labels.size();
    if (m.forest.on) {
        for (double j : doubles_of(field_of(members, "features", i), "a member's features")) {
            if (!(j >= 1 && j <= static_cast<double>(m.cols()) && j == std::floor(j)))
                throw Error("a member's features must be positions of the model's features");
            member.features.push_back(static_cast<size_t>(j) - 1);
        }
    }
    size_t rows = 0, cols = 0;
    member.templates = row_major(field_of(members, "templates", i), &rows, &cols, "a member's templates");
    const size_t width = m.forest.on ? member.features.size() : m.cols();
    if (rows != member.nodes || cols != 2 * width)
        throw Error("a member's templates must have one row of 2 * features bounds per node label");
    return member;
}

front::Model model_of(const mxArray *s)
{
    if (!s || !mxIsStruct(s) || mxGetNumberOfElements(s) != 1)
        throw Error("the model must be a struct as quorv_fit or quorv_read_model gives");
    front::Model m;
    m.version = static_cast<int>(whole_of(field_of(s, "version"), "version", 1, 9));
    m.feature_names = texts_of(field_of(s, "feature_names"), "feature_names");
    m.label_name = text_of(field_of(s, "label_name"), "label_name");
    m.ignored = texts_of(field_of(s, "ignored"), "ignored");
    const std::vector<double> codes = doubles_of(field_of(s, "class_codes"), "class_codes");
    const std::vector<std::string> names = texts_of(field_of(s, "class_names"), "class_names");
    if (codes.size() != names.size())
        throw Error("the model needs one class name per class code");
    for (size_t c = 0; c < codes.size(); ++c)
        m.classes.push_back({codes[c], names[c]});
    m.scaling.enabled = scalar_of(field_of(s, "scaled"), "scaled") != 0;
    m.scaling.min = doubles_of(field_of(s, "feature_min"), "feature_min");
    m.scaling.max = doubles_of(field_of(s, "feature_max"), "feature_max");
    if (m.scaling.min.size() != m.cols() || m.scaling.max.size() != m.cols())
        throw Error("the model needs one feature_min and one feature_max per feature name");
    m.params.vigilance = scalar_of(field_of(s, "vigilance"), "vigilance");
    m.params.min_size = scalar_of(field_of(s, "min_size"), "min_size");
    m.params.learning_rate = scalar_of(field_of(s, "learning_rate"), "learning_rate");
    m.params.epsilon = scalar_of(field_of(s, "epsilon"), "epsilon");
    m.params.max_list_presentations = static_cast<long>(
        whole_of(field_of(s, "max_list_presentations"), "max_list_presentations", 1, INT32_MAX));
    m.params.trim_option = static_cast<long>(whole_of(field_of(s, "trim_option"), "trim_option", 0, 1));
    m.training_patterns = static_cast<long>(whole_of(field_of(s, "training_patterns"), "training_patterns", 0,
                                                     INT32_MAX));
    m.shuffle_seed = whole_of(field_of(s, "shuffle_seed"), "shuffle_seed", -1, front::kMaxSeed);
    // Version-4 settings; a struct made before they existed has them off.
    if (const mxArray *merged = mxGetField(s, 0, "merged_patterns")) {
        m.merged_patterns = static_cast<long>(whole_of(merged, "merged_patterns", 0, INT32_MAX));
        m.merge_conflicts = m.merged_patterns > 0;
    }
    if (const mxArray *medians = mxGetField(s, 0, "missing_medians")) {
        m.missing_medians = doubles_of(medians, "missing_medians");
        if (!m.missing_medians.empty() && m.missing_medians.size() != m.feature_names.size())
            throw Error("the model needs one missing_medians value per feature name, or none");
    }
    if (const mxArray *oob = mxGetField(s, 0, "oob")) {
        const std::vector<double> v = doubles_of(oob, "oob");
        const auto whole = [](double x) { return x >= 0 && x <= INT32_MAX && x == std::floor(x); };
        if (!v.empty() && (v.size() != 3 || !whole(v[0]) || !whole(v[1]) || !whole(v[2])))
            throw Error("the model's oob must be [nearest right covered] in whole numbers, or empty");
        if (!v.empty())
            m.oob = {true, v[0] != 0, static_cast<long>(v[1]), static_cast<long>(v[2])};
    }
    const mxArray *forest = field_of(s, "forest");
    if (mxIsStruct(forest)) {
        m.forest.on = true;
        m.forest.sample.rows =
            static_cast<size_t>(whole_of(field_of(forest, "sample_rows"), "sample_rows", 1, INT32_MAX));
        m.forest.sample.bootstrap = scalar_of(field_of(forest, "bootstrap"), "bootstrap") != 0;
        m.forest.features =
            static_cast<size_t>(whole_of(field_of(forest, "features"), "forest features", 1, INT32_MAX));
    }
    const mxArray *members = field_of(s, "members");
    if (!mxIsStruct(members) || mxGetNumberOfElements(members) == 0)
        throw Error("the model's members must be a struct array of at least one member");
    for (size_t i = 0; i < mxGetNumberOfElements(members); ++i)
        m.members.push_back(member_of(members, i, m));
    return m;
}

// ---- classification: the policy, with quorv_perf through the host ----

// What the host says of an error it trapped: a struct (Octave) or an
// MException (MATLAB), each with a message.
std::string trapped_message(const mxArray *trapped)
{
    const mxArray *message = mxIsStruct(trapped) ? mxGetField(trapped, 0, "message") : nullptr;
    if (!message && !mxIsStruct(trapped))
        message = mxGetProperty(trapped, 0, "message");
    char *s = message && mxIsChar(message) ? mxArrayToString(message) : nullptr;
    const std::string text = s ? s : "no message";
    mxFree(s);
    return "quorv_perf failed: " + text;
}

// The plug-in must be a compiled function on the path: said before any call.
void expect_perf_plugin()
{
    mxArray *in[1] = {mxCreateString("quorv_perf")};
    mxArray *out[1] = {nullptr};
    const int failed = mexCallMATLAB(1, out, 1, in, "exist");
    mxDestroyArray(in[0]);
    const double kind = !failed && out[0] ? mxGetScalar(out[0]) : 0;
    if (out[0])
        mxDestroyArray(out[0]);
    if (kind != 3)
        throw Error("the quorv_perf plug-in is not on the path (build it with make.m, or pkg load quorv)");
}

// One member's answers for `rows` of the scaled patterns.
std::vector<double> perf_call(const front::Model &m, size_t k, const std::vector<double> &scaled, size_t cols,
                              const std::vector<size_t> &rows, double vigilance, double unknown, double oflag)
{
    const front::Member &member = m.members[k];
    const size_t width = m.member_cols(k);
    std::vector<double> x(rows.size() * width);
    for (size_t i = 0; i < rows.size(); ++i)
        for (size_t j = 0; j < width; ++j)
            x[i * width + j] = scaled[rows[i] * cols + (member.features.empty() ? j : member.features[j])];
    mxArray *in[6] = {matrix(member.templates, member.nodes, 2 * width), column(member.labels),
                      mxCreateDoubleScalar(vigilance), matrix(x, rows.size(), width), mxCreateDoubleScalar(unknown),
                      mxCreateDoubleScalar(oflag)};
    mxArray *out[1] = {nullptr};
    mxArray *trapped = mexCallMATLABWithTrap(1, out, 6, in, "quorv_perf");
    for (mxArray *a : in)
        mxDestroyArray(a);
    if (trapped) {
        const std::string message = trapped_message(trapped);
        mxDestroyArray(trapped);
        throw Error(message);
    }
    std::vector<double> labels;
    if (out[0] && mxIsDouble(out[0]) && mxGetNumberOfElements(out[0]) == rows.size())
        labels = doubles_of(out[0], "quorv_perf's labels");
    if (out[0])
        mxDestroyArray(out[0]);
    if (labels.size() != rows.size())
        throw Error("quorv_perf gave other than one label per pattern");
    return labels;
}

// [codes, names] = quorv_model_mex('classify', model, X, vigilance, nearest,
// unknown, oflag): names [] when the classes read back as numbers, else each
// label's name as the tool writes it (the unknown label as its number).
void classify(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 7 || nlhs > 2)
        throw Error("classify takes model, X, vigilance, nearest, unknown and oflag, and gives one output");
    const front::Model m = model_of(prhs[1]);
    size_t rows = 0, cols = 0;
    std::vector<double> x = row_major(prhs[2], &rows, &cols, "X");
    if (cols != m.cols())
        throw Error("X must have " + std::to_string(m.cols()) + " columns, one per feature of the model (it has " +
                    std::to_string(cols) + ")");
    front::apply_scaling(m.scaling, x.data(), rows, cols);
    front::Voters voters;
    for (const front::ClassName &c : m.classes)
        voters.classes.push_back(c.code);
    for (const front::Member &member : m.members)
        voters.fallback.push_back(front::most_nodes_class(member.labels, voters.classes));
    voters.forest = m.forest.on;
    voters.features = m.cols();
    front::PolicySettings settings;
    settings.vigilance = scalar_of(prhs[3], "vigilance");
    settings.nearest = scalar_of(prhs[4], "nearest") != 0;
    settings.unknown = scalar_of(prhs[5], "unknown");
    const double oflag = scalar_of(prhs[6], "oflag");
    if (!(settings.vigilance >= 0 && settings.vigilance <= 1))
        throw Error("the vigilance must be in [0, 1]");
    if (front::find_class(m.classes, settings.unknown) || settings.unknown != std::trunc(settings.unknown))
        throw Error("the unknown label must be a whole number that is no class code of the model");
    expect_perf_plugin();
    const front::MemberCall call = [&](size_t k, const std::vector<size_t> &picked, double vigilance) {
        return perf_call(m, k, x, cols, picked, vigilance, settings.unknown, oflag);
    };
    const std::vector<double> labels = front::decide(voters, rows, settings, call).labels;
    plhs[0] = column(labels);
    if (nlhs > 1 && front::numbered(m.classes)) {
        plhs[1] = mxCreateDoubleMatrix(0, 0, mxREAL);
    } else if (nlhs > 1) {
        std::vector<std::string> names;
        for (double code : labels)
            names.push_back(front::class_name_of(m.classes, code));
        plhs[1] = texts(names, true);
    }
}

// ---- training's rules ----

// [Xs, lo, hi, wide] = quorv_model_mex('scaling', X, enabled): the ranges,
// the scaled patterns and the first feature too wide to scale (0: none).
void scaling(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 3 || nlhs > 4)
        throw Error("scaling takes X and enabled");
    size_t rows = 0, cols = 0;
    std::vector<double> x = row_major(prhs[1], &rows, &cols, "X");
    if (rows == 0)
        throw Error("X must have at least one row");
    const front::Scaling s = front::fit_scaling(front::MatrixView::row_major(x.data(), rows, cols),
                                                scalar_of(prhs[2], "enabled") != 0);
    const size_t wide = front::unscalable_feature(s);
    if (wide == std::string::npos)
        front::apply_scaling(s, x.data(), rows, cols);
    plhs[0] = matrix(x, rows, cols);
    if (nlhs > 1)
        plhs[1] = row(s.min);
    if (nlhs > 2)
        plhs[2] = row(s.max);
    if (nlhs > 3)
        plhs[3] = mxCreateDoubleScalar(wide == std::string::npos ? 0.0 : static_cast<double>(wide + 1));
}

// [codes, class_codes, class_names] = quorv_model_mex('classes', y): y a
// numeric vector or a cell array of names, coded by the tool's rule.
void classes(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 2 || nlhs > 3)
        throw Error("classes takes the labels");
    front::LabelCodes coded;
    if (mxIsCell(prhs[1])) {
        coded = front::code_names(texts_of(prhs[1], "y"));
    } else {
        const std::vector<double> y = doubles_of(prhs[1], "y");
        if (!front::code_numbers(y, &coded)) {
            std::vector<std::string> names;  // numbers that are no codes are classes by their text
            for (double v : y) {
                if (!std::isfinite(v))
                    throw Error("y must not hold NaN or Inf");
                names.push_back(front::format_double(v));
            }
            coded = front::code_names(names);
        }
    }
    std::vector<double> codes;
    std::vector<std::string> names;
    for (const front::ClassName &c : coded.classes) {
        codes.push_back(c.code);
        names.push_back(c.name);
    }
    plhs[0] = column(coded.codes);
    if (nlhs > 1)
        plhs[1] = column(codes);
    if (nlhs > 2)
        plhs[2] = texts(names, true);
}

// [name, message] = quorv_model_mex('check', vigilance, min_size,
// learning_rate, epsilon, max_presentations, trim, features); '' when all fit.
void check(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 8 || nlhs > 2)
        throw Error("check takes the six training parameters and the feature count");
    front::TrainParams p;
    p.vigilance = scalar_of(prhs[1], "vigilance");
    p.min_size = scalar_of(prhs[2], "min_size");
    p.learning_rate = scalar_of(prhs[3], "learning_rate");
    p.epsilon = scalar_of(prhs[4], "epsilon");
    const double presentations = scalar_of(prhs[5], "max_list_presentations");
    // Anything but a whole number becomes 0, which the check refuses.
    const bool whole = presentations == std::floor(presentations) && std::fabs(presentations) < 1e15;
    p.max_list_presentations = whole ? static_cast<long>(presentations) : 0;
    p.trim_option = scalar_of(prhs[6], "trim_option") != 0;
    const front::ParamFault fault =
        front::check_params(p, static_cast<size_t>(whole_of(prhs[7], "features", 0, INT32_MAX)));
    plhs[0] = mxCreateString(fault.name.c_str());
    if (nlhs > 1)
        plhs[1] = mxCreateString(fault.message.c_str());
}

// rows = quorv_model_mex('shuffle', n, seed): the order of the tool's
// --shuffle --seed, counted from 1.
void shuffle(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 3 || nlhs > 1)
        throw Error("shuffle takes n and seed");
    const std::int64_t n = whole_of(prhs[1], "n", 0, INT32_MAX), seed = whole_of(prhs[2], "Seed", 0, front::kMaxSeed);
    plhs[0] = positions(front::shuffled_rows(static_cast<size_t>(n), static_cast<std::uint64_t>(seed)));
}

// [sample_rows, features] = quorv_model_mex('amounts', max_samples,
// max_features, rows, features): the forest's counts, as the tool reads them.
void amounts(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 5 || nlhs > 2)
        throw Error("amounts takes MaxSamples, MaxFeatures and the numbers of rows and features");
    const front::Amount samples = front::parse_amount(text_of(prhs[1], "MaxSamples"), "MaxSamples");
    const front::Amount features = front::parse_amount(text_of(prhs[2], "MaxFeatures"), "MaxFeatures", true);
    const auto rows = static_cast<size_t>(whole_of(prhs[3], "rows", 0, INT32_MAX));
    const auto cols = static_cast<size_t>(whole_of(prhs[4], "features", 0, INT32_MAX));
    plhs[0] = mxCreateDoubleScalar(static_cast<double>(samples.of(rows, "MaxSamples", "rows")));
    if (nlhs > 1)
        plhs[1] = mxCreateDoubleScalar(static_cast<double>(features.of(cols, "MaxFeatures", "features")));
}

// [rows, features] = quorv_model_mex('draw', total_rows, sample_rows,
// bootstrap, total_features, features, seed, member): a forest member's draw
// (member counted from 1), positions counted from 1.
void draw(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 8 || nlhs > 2)
        throw Error("draw takes the rows, sample rows, bootstrap, features, member features, seed and member");
    front::SampleRule rule;
    const auto total_rows = static_cast<size_t>(whole_of(prhs[1], "rows", 1, INT32_MAX));
    rule.rows = static_cast<size_t>(whole_of(prhs[2], "sample rows", 1, INT32_MAX));
    rule.bootstrap = scalar_of(prhs[3], "bootstrap") != 0;
    const auto total_features = static_cast<size_t>(whole_of(prhs[4], "features", 1, INT32_MAX));
    const auto features = static_cast<size_t>(whole_of(prhs[5], "member features", 1, INT32_MAX));
    if (features > total_features || (!rule.bootstrap && rule.rows > total_rows))
        throw Error("a member cannot draw more than there is without replacement");
    const std::int64_t seed = whole_of(prhs[6], "Seed", 0, front::kMaxSeed);
    const std::int64_t member = whole_of(prhs[7], "member", 1, front::kMaxSeed - seed + 1);
    const front::MemberDraw d = front::draw_member(total_rows, rule, total_features, features,
                                                   static_cast<std::uint64_t>(seed), static_cast<size_t>(member - 1));
    plhs[0] = positions(d.rows);
    if (nlhs > 1)
        plhs[1] = positions(d.features);
}

// [rows, labels, merged] = quorv_model_mex('merge', Xs, codes): the patterns
// a training call is given, conflicts merged as the tool merges them (rows
// counted from 1, in presentation order, with their labels; merged: the
// patterns taken away).
void merge(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 3 || nlhs > 3)
        throw Error("merge takes the patterns and their labels");
    size_t rows = 0, cols = 0;
    const std::vector<double> x = row_major(prhs[1], &rows, &cols, "the patterns");
    const std::vector<double> labels = doubles_of(prhs[2], "the labels");
    if (labels.size() != rows)
        throw Error("merge needs one label per pattern");
    front::Patterns patterns, label_column;
    patterns.x = front::MatrixView::row_major(x.data(), rows, cols);
    label_column.x = front::MatrixView::row_major(labels.data(), rows, 1);
    const front::Merged merged = front::merge_conflicts(patterns, label_column);
    plhs[0] = positions(merged.rows);
    if (nlhs > 1) {
        plhs[1] = matrix(merged.labels, merged.labels.size(), 1);
    }
    if (nlhs > 2)
        plhs[2] = mxCreateDoubleScalar(static_cast<double>(merged.merged));
}

// quorv_model_mex(COMMAND, ...): one command per call.
void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs < 1)
        throw Error("a command is needed: read, write, classify, scaling, classes, check, shuffle, amounts, draw or merge");
    const std::string command = text_of(prhs[0], "the command");
    if (command == "read") {
        if (nrhs != 2 || nlhs > 1)
            throw Error("read takes a path");
        plhs[0] = model_struct(front::read_model(text_of(prhs[1], "the path")));
    } else if (command == "write") {
        if (nrhs != 3 || nlhs > 0)
            throw Error("write takes a model and a path");
        const front::Model m = model_of(prhs[1]);
        const std::string path = text_of(prhs[2], "the path");
        const std::string text = front::model_text(m);  // refuses what would not read back, before any file
        front::OutputFile out(path, {});
        out.write(text);
        out.commit();
    } else if (command == "classify") {
        classify(nlhs, plhs, nrhs, prhs);
    } else if (command == "scaling") {
        scaling(nlhs, plhs, nrhs, prhs);
    } else if (command == "classes") {
        classes(nlhs, plhs, nrhs, prhs);
    } else if (command == "check") {
        check(nlhs, plhs, nrhs, prhs);
    } else if (command == "shuffle") {
        shuffle(nlhs, plhs, nrhs, prhs);
    } else if (command == "amounts") {
        amounts(nlhs, plhs, nrhs, prhs);
    } else if (command == "draw") {
        draw(nlhs, plhs, nrhs, prhs);
    } else if (command == "merge") {
        merge(nlhs, plhs, nrhs, prhs);
    } else {
        throw Error("no command '" + command + "'");
    }
}

// The message of a failed run, cut to the buffer; false when none.
bool run_caught(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], char *msg, size_t len)
{
    try {
        run(nlhs, plhs, nrhs, prhs);
        return false;
    } catch (const std::bad_alloc &) {
        std::snprintf(msg, len, "%s", "Not enough memory available; unable to run!");
    } catch (const std::exception &e) {
        // Octave puts the function's name first; MATLAB names it in its own line.
        std::snprintf(msg, len, "%s", e.what());
    }
    return true;
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    char msg[1024];
    if (run_caught(nlhs, plhs, nrhs, prhs, msg, sizeof msg)) {
        mexErrMsgTxt(msg);
        return;  // a host may return from its error routine
    }
}
