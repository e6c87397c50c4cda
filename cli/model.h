// The tool reads and writes models with the front library (front/model.h).
#ifndef QUORV_CLI_MODEL_H
#define QUORV_CLI_MODEL_H

#include "dataset.h"
#include "front/model.h"

namespace cli {

using front::check_params;
using front::Member;
using front::Model;
using front::model_text;
using front::parse_model;
using front::read_model;
using front::TrainParams;

}  // namespace cli

#endif
