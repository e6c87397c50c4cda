// The model as a host struct (mex_model.h): one field per part of
// front::Model, members and forest settings as struct arrays of their own.
#include "mex_model.h"

#include "mex_arrays.h"

#include "front/draws.h"
#include "front/error.h"

#include <cmath>
#include <string>
#include <vector>

namespace quorv_mex {

using front::Error;

namespace {

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

}  // namespace

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

}  // namespace quorv_mex
