// The quorv_train gateway: argument checks in their fixed order, conversion of
// the inputs, the training driver, and the three outputs.
#include "host/args.h"
#include "host/convert.h"
#include "mex.h"
#include "train/run_training.h"

#include <climits>
#include <cstdio>

namespace {

const char kRoutine[] = "QUORV_TRAIN";

struct TrainArgs {
    int n, m;
    double vigilance, min_size, learning_rate, epsilon;
    int max_list_presentations, trim_option, oflag;
};

// The first failing check formats its message into msg and returns false.
bool check_train_args(int nlhs, int nrhs, const mxArray *prhs[], TrainArgs *a, char *msg)
{
    if (nrhs != 9)
        return fail(msg, "%s: %d input arguments required.", kRoutine, 9);

    const mxArray *patterns = prhs[0];
    if (dimension_count(patterns) != 2)
        return fail(msg, "%s: 1st input argument (Patterns) must be  a two dimensional array (matrix).", kRoutine);
    // Counts are ints, and so is 2M, the width of a template row.
    if (!fits_int(row_count(patterns)) || !fits_int(column_count(patterns)) ||
        column_count(patterns) > static_cast<mwSize>(INT_MAX / 2))
        return fail(msg, "%s: 1st input argument (Patterns) must have at most %d rows and %d columns.", kRoutine,
                    INT_MAX, INT_MAX / 2);
    if (!is_real_double(patterns))
        return fail(msg, "%s: 1st input argument (Patterns) must be a real double matrix.", kRoutine);
    a->n = static_cast<int>(row_count(patterns));
    a->m = static_cast<int>(column_count(patterns));

    const mxArray *labels = prhs[1];
    if (dimension_count(labels) != 2)
        return fail(msg, "%s: 2nd input argument (PLabels) must a vector.", kRoutine);
    const mwSize n = static_cast<mwSize>(a->n);
    if (!((row_count(labels) == 1 && column_count(labels) == n) ||
          (row_count(labels) == n && column_count(labels) == 1)))
        return fail(msg, "%s: 2nd input argument (PLabels) must be of type  %dx1 or 1x%d.", kRoutine, a->n, a->n);
    if (!is_real_double(labels))
        return fail(msg, "%s: 2nd input argument (PLabels) must be a real double vector.", kRoutine);

    if (!is_scalar(prhs[2]))
        return fail(msg, "%s: 3rd input argument (vigilance) must be a scalar.", kRoutine);
    a->vigilance = mxGetScalar(prhs[2]);
    if (!(a->vigilance >= 0 && a->vigilance <= 1))
        return fail(msg, "%s: 3rd input argument (vigilance) must be in [0,1].", kRoutine);

    if (!is_scalar(prhs[3]))
        return fail(msg, "%s: 4th input argument (min_size) must be a scalar.", kRoutine);
    a->min_size = mxGetScalar(prhs[3]);
    const double bound = a->m * (1.0 - a->vigilance);
    if (!(a->min_size >= 0 && a->min_size <= bound))
        return fail(msg, "%s: 4th input argument (min_size) must be in [0.0, %f]\n( in [0.0, M*(1.0-vigilance)] ).",
                    kRoutine, bound);

    if (!is_scalar(prhs[4]))
        return fail(msg, "%s: 5th input argument (learning_rate) must be a scalar.", kRoutine);
    a->learning_rate = mxGetScalar(prhs[4]);
    if (!(a->learning_rate > 0 && a->learning_rate <= 1))
        return fail(msg, "%s: 5th input argument (learning_rate) must be in (0.0, 1.0].", kRoutine);

    if (!is_scalar(prhs[5]))
        return fail(msg, "%s: 6th input argument (epsilon) must be a scalar.", kRoutine);
    a->epsilon = mxGetScalar(prhs[5]);
    if (!(a->epsilon >= 0))
        return fail(msg, "%s: 6th input argument (epsilon) must be non-negative.", kRoutine);

    if (!is_scalar(prhs[6]))
        return fail(msg, "%s: 7th input argument (max_list_presentations) must be a scalar.", kRoutine);
    a->max_list_presentations = truncate_to_int(mxGetScalar(prhs[6]));
    if (a->max_list_presentations < 1)
        return fail(msg, "%s: 7th input argument (max_list_presentations) must  be greater than 0.", kRoutine);

    if (!is_scalar(prhs[7]))
        return fail(msg, "%s: 8th input argument (trim_option) must be a scalar.", kRoutine);
    a->trim_option = truncate_to_int(mxGetScalar(prhs[7]));
    if (a->trim_option != 0 && a->trim_option != 1)
        return fail(msg, "%s: 8th input argument (trim_option) must be either 0 or 1.", kRoutine);

    if (dimension_count(prhs[8]) != 2)
        return fail(msg, "%s: 9th input argument (oflag) must be scalar.", kRoutine);
    if (!is_scalar_shape(prhs[8]))
        return fail(msg, "%s: 9th input argument must be scalar.", kRoutine);
    if (!is_real_number(prhs[8]))
        return fail(msg, "%s: 9th input argument (oflag) must be scalar.", kRoutine);
    a->oflag = truncate_to_int(mxGetScalar(prhs[8]));
    if (a->oflag < 0 || a->oflag > 4)
        return fail(msg, "%s: 9th input argument (oflag) must be 0,1,2,3 or 4.", kRoutine);

    if (nlhs != 3)
        return fail(msg, "%s: %d output arguments required.", kRoutine, 3);
    return true;
}

}  // namespace

QUORV_GATEWAY void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    char msg[kMessageSize];
    TrainArgs args{};
    if (!check_train_args(nlhs, nrhs, prhs, &args, msg)) {
        mexErrMsgTxt(msg);
        return;
    }
    std::snprintf(msg, sizeof msg, "%s: Not enough memory available; unable to run!", kRoutine);

    int n = 0, m = 0;
    double **patterns = mxArray2D_to_cArray2D(&n, &m, prhs[0]);
    if (!patterns) {
        mexErrMsgTxt(msg);
        return;
    }
    double *labels = mxArray1D_to_cArray1D(&n, prhs[1]);
    if (!labels) {
        mexErrMsgTxt(msg);
        return;
    }

    int template_count = 0, list_presentations = 0;
    double **templates = nullptr;
    double *node_labels = nullptr;
    run_training(&n, &m, patterns, labels, &args.vigilance, &args.min_size, &args.learning_rate,
                 &args.epsilon, &args.max_list_presentations, &args.trim_option, &template_count,
                 &templates, &node_labels, &list_presentations, args.oflag);
    if (!templates) {
        mexErrMsgTxt(msg);
        return;
    }

    plhs[0] = cArray2D_to_mxArray2D(template_count, 2 * m, templates);
    if (!plhs[0]) {
        mexErrMsgTxt(msg);
        return;
    }
    plhs[1] = cArray1D_to_mxArray1D(template_count, node_labels);
    if (!plhs[1]) {
        mexErrMsgTxt(msg);
        return;
    }
    auto *count = static_cast<double *>(mxCalloc(1, sizeof(double)));
    if (!count) {
        mexErrMsgTxt(msg);
        return;
    }
    count[0] = list_presentations;
    plhs[2] = cArray1D_to_mxArray1D(1, count);
    if (!plhs[2]) {
        mexErrMsgTxt(msg);
        return;
    }
}
