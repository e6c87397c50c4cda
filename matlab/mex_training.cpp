// Training's rules for quorv_fit, each the core library's own: scaling,
// class codes, parameter checks, shuffles, forest draws and the merging of
// conflicting patterns, so that Octave trains on what the tool would.
#include "mex_commands.h"

#include "mex_arrays.h"

#include "front/classes.h"
#include "front/draws.h"
#include "front/error.h"
#include "front/forest.h"
#include "front/merge.h"
#include "front/numbers.h"
#include "front/scaling.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quorv_mex {

using front::Error;

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

// [max_presentations, trim] = quorv_model_mex('defaults', forest): the
// training defaults of a forest's members (forest true) or of other models.
void defaults(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 2 || nlhs > 2 || (!mxIsNumeric(prhs[1]) && !mxIsLogical(prhs[1])) ||
        mxGetNumberOfElements(prhs[1]) != 1)
        throw Error("defaults takes whether the model is a forest (true or false)");
    const front::TrainingDefaults d = front::training_defaults(mxGetScalar(prhs[1]) != 0);
    plhs[0] = mxCreateDoubleScalar(static_cast<double>(d.max_list_presentations));
    if (nlhs > 1)
        plhs[1] = mxCreateDoubleScalar(static_cast<double>(d.trim_option));
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

}  // namespace quorv_mex
