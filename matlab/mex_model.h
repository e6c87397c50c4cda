// The model as a host struct: exactly what front::Model holds, so that
// struct -> Model -> struct gives it back, for quorv_read_model,
// quorv_write_model, quorv_fit and quorv_predict.
#ifndef QUORV_MATLAB_MEX_MODEL_H
#define QUORV_MATLAB_MEX_MODEL_H

#include "front/model.h"

#include "mex.h"

namespace quorv_mex {

mxArray *model_struct(const front::Model &m);
// Throws front::Error naming the field that is missing or of the wrong kind.
front::Model model_of(const mxArray *s);

}  // namespace quorv_mex

#endif
