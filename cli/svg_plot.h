// SVG picture of a model's boxes in two features, with patterns as points.
#ifndef QUORV_CLI_SVG_PLOT_H
#define QUORV_CLI_SVG_PLOT_H

#include "dataset.h"
#include "model.h"

#include <string>

namespace cli {

// `patterns` are already scaled like the model's boxes; fx and fy are 0-based
// feature indices. One <rect> per node, one <circle> per pattern, axes and a
// legend of the classes.
std::string svg_plot(const Model &model, const Dataset &patterns, size_t fx, size_t fy);

}  // namespace cli

#endif
