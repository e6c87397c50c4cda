// The commands of quorv_model_mex(COMMAND, ...), one function each: they
// read their inputs from prhs, set plhs and throw front::Error for a bad
// call. What each takes and gives is said beside its definition.
#ifndef QUORV_MATLAB_MEX_COMMANDS_H
#define QUORV_MATLAB_MEX_COMMANDS_H

#include "mex.h"

namespace quorv_mex {

using Command = void(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]);

// Classification (mex_classify.cpp).
Command classify, unknown_label;
// Training's rules (mex_training.cpp).
Command scaling, classes, check, shuffle, amounts, defaults, draw, merge;

}  // namespace quorv_mex

#endif
