// Classification for quorv_predict: the core library's one policy (votes,
// the nearest-box pass), each member's answers asked of the quorv_perf
// plug-in on the path through the host, so that the plug-in stays the only
// classifier; and the default unknown label.
#include "mex_commands.h"

#include "mex_arrays.h"
#include "mex_model.h"

#include "front/classes.h"
#include "front/error.h"
#include "front/policy.h"
#include "front/scaling.h"

#include <cmath>
#include <string>
#include <vector>

namespace quorv_mex {

using front::Error;

namespace {

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

}  // namespace

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

// unknown = quorv_model_mex('unknown_label', class_codes, class_names): the
// label of unclassified patterns when none is given, as the tool and Python
// choose it.
void unknown_label(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs != 3 || nlhs > 1)
        throw Error("unknown_label takes class_codes and class_names");
    const long unknown =
        front::free_unknown_label(doubles_of(prhs[1], "class_codes"), texts_of(prhs[2], "class_names"));
    plhs[0] = mxCreateDoubleScalar(static_cast<double>(unknown));
}

}  // namespace quorv_mex
