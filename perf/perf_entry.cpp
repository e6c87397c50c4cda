// The quorv_perf gateway: argument checks in their fixed order, conversion of
// the inputs, the classification driver, and the label column.
#include "host/args.h"
#include "host/convert.h"
#include "mex.h"
#include "perf/run_performance.h"

#include <climits>
#include <cstdio>

namespace {

const char kRoutine[] = "QUORV_PERF";

struct PerfArgs {
    int k, w, m, n;
    double vigilance;
    int unknown_label, oflag;
};

// The first failing check formats its message into msg and returns false.
bool check_perf_args(int nlhs, int nrhs, const mxArray *prhs[], PerfArgs *a, char *msg)
{
    if (nrhs != 6)
        return fail(msg, "%s: %d input arguments required.", kRoutine, 6);

    const mxArray *templates = prhs[0];
    if (dimension_count(templates) != 2)
        return fail(msg, "%s: 1st input argument (Templates) must be  a two dimensional array (matrix).", kRoutine);
    if (!fits_int(row_count(templates)) || !fits_int(column_count(templates)))
        return fail(msg, "%s: 1st input argument (Templates) must have at most %d rows and %d columns.", kRoutine,
                    INT_MAX, INT_MAX);
    if (!is_real_double(templates))
        return fail(msg, "%s: 1st input argument (Templates) must be a real double matrix.", kRoutine);
    a->k = static_cast<int>(row_count(templates));
    a->w = static_cast<int>(column_count(templates));
    a->m = a->w / 2;

    const mxArray *labels = prhs[1];
    if (dimension_count(labels) != 2)
        return fail(msg, "%s: 2nd input argument (NLabels) must a vector.", kRoutine);
    const mwSize k = static_cast<mwSize>(a->k);
    if (!((row_count(labels) == 1 && column_count(labels) == k) ||
          (row_count(labels) == k && column_count(labels) == 1)))
        return fail(msg, "%s: 2nd input argument (NLabels) must be of type  %dx1 or 1x%d.", kRoutine, a->k, a->k);
    if (!is_real_double(labels))
        return fail(msg, "%s: 2nd input argument (NLabels) must be a real double vector.", kRoutine);

    if (!is_scalar(prhs[2]))
        return fail(msg, "%s: 3rd input argument (vigilance) must be a scalar.", kRoutine);
    a->vigilance = mxGetScalar(prhs[2]);
    if (!(a->vigilance >= 0.0 && a->vigilance <= 1.0))
        return fail(msg, "%s: 3rd input argument (vigilance) must be in [0.0, 1.0].", kRoutine);

    const mxArray *patterns = prhs[3];
    if (dimension_count(patterns) != 2)
        return fail(msg, "%s: 4th input argument (Patterns) must be  a two dimensional array (matrix).", kRoutine);
    // Before the column test, whose message shows the row count as an int.
    if (!fits_int(row_count(patterns)))
        return fail(msg, "%s: 4th input argument (Patterns) must have at most %d rows.", kRoutine, INT_MAX);
    a->n = static_cast<int>(row_count(patterns));
    if (column_count(patterns) != static_cast<mwSize>(a->m))
        return fail(msg, "%s: 4th input argument (Patterns) must be of type  %dx%d.", kRoutine, a->n, a->m);
    if (!is_real_double(patterns))
        return fail(msg, "%s: 4th input argument (Patterns) must be a real double matrix.", kRoutine);

    if (!is_scalar(prhs[4]))
        return fail(msg, "%s: 5th input argument (unknown_label) must be a scalar.", kRoutine);
    a->unknown_label = truncate_to_int(mxGetScalar(prhs[4]));

    if (dimension_count(prhs[5]) != 2)
        return fail(msg, "%s: 6th input argument (oflag) must be scalar.", kRoutine);
    if (!is_scalar(prhs[5]))
        return fail(msg, "%s: 6th input argument (oflag) must be scalar.", kRoutine);
    a->oflag = truncate_to_int(mxGetScalar(prhs[5]));
    if (a->oflag < 0 || a->oflag > 3)
        return fail(msg, "%s: 6th input argument (oflag) must be 0,1,2 or 3.", kRoutine);

    if (nlhs != 1)
        return fail(msg, "%s: %d output argument required.", kRoutine, 1);
    return true;
}

}  // namespace

QUORV_GATEWAY void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    char msg[kMessageSize];
    PerfArgs args{};
    if (!check_perf_args(nlhs, nrhs, prhs, &args, msg)) {
        mexErrMsgTxt(msg);
        return;
    }
    std::snprintf(msg, sizeof msg, "%s: Not enough memory available; unable to run!", kRoutine);

    int k = 0, w = 0, k_labels = 0, n = 0, m = 0;
    double **templates = mxArray2D_to_cArray2D(&k, &w, prhs[0]);
    if (!templates) {
        mexErrMsgTxt(msg);
        return;
    }
    double *node_labels = mxArray1D_to_cArray1D(&k_labels, prhs[1]);
    if (!node_labels) {
        mexErrMsgTxt(msg);
        return;
    }
    double **patterns = mxArray2D_to_cArray2D(&n, &m, prhs[3]);
    if (!patterns) {
        mexErrMsgTxt(msg);
        return;
    }

    double *labels = run_performance(k, w / 2, templates, node_labels, args.vigilance, n, patterns,
                                     args.unknown_label, args.oflag);
    if (!labels) {
        mexErrMsgTxt(msg);
        return;
    }
    plhs[0] = cArray1D_to_mxArray1D(n, labels);
    if (!plhs[0]) {
        mexErrMsgTxt(msg);
        return;
    }
}
