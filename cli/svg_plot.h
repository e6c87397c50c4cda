// SVG picture of a model's boxes in two features, with patterns as points.
#ifndef QUORV_CLI_SVG_PLOT_H
#define QUORV_CLI_SVG_PLOT_H

#include "dataset.h"
#include "model.h"

#include <string>
#include <vector>

namespace cli {

struct PlotOptions {
    std::string title;               // drawn above the plot
    std::vector<double> predicted;   // per pattern, when known: misclassified ones get a cross
    double unknown_label = -1;       // the prediction of unclassified patterns
    std::vector<char> by_nearest;    // per pattern, when known: classified by the nearest-box pass (ringed)
    std::vector<char> active;        // per node, when known: did a pattern select it
    bool active_only = false;        // leave out the nodes no pattern selected
};

// `patterns` are already scaled like the model's boxes; fx and fy are 0-based
// feature indices. One <rect> per node of member 1 drawn, one <circle> per pattern above
// them, axes in the data's own units and a legend of the classes by name.
std::string svg_plot(const Model &model, const Dataset &patterns, size_t fx, size_t fy,
                     const PlotOptions &options = PlotOptions());

}  // namespace cli

#endif
