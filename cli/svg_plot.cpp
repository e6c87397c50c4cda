// The plot is written by hand: a few dozen elements need no SVG library.
// Every name in it goes through xml_text, so any name gives well-formed XML.
#include "svg_plot.h"

#include "numbers.h"
#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace cli {

namespace {

const double kWidth = 820, kHeight = 540;
const double kLeft = 70, kRight = 560, kTop = 30, kBottom = 470;  // plot area
// Twenty colours of high mutual contrast (a well-known set for telling many
// categories apart), strongest first, so that few classes get the clearest.
const char *const kPalette[] = {"#0067a5", "#f38400", "#008856", "#be0032", "#875692", "#f3c300", "#a1caf1",
                                "#882d17", "#8db600", "#e68fac", "#2b3d26", "#f99379", "#604e97", "#f6a600",
                                "#b3446c", "#dcd300", "#654522", "#e25822", "#848482", "#c2b280"};
const size_t kColours = sizeof kPalette / sizeof kPalette[0];
const char kNoClass[] = "#444444";

std::string fmt(const char *format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Data range of one axis mapped to pixels; values outside (the infinite or
// NaN bounds a hand-edited model may hold) are pinned to the edges.
struct Axis {
    double lo = 0, hi = 1, from = 0, to = 1;
    // Data value = origin + scaled value * unit (the model's range).
    double origin = 0, unit = 1;

    void cover(double v)
    {
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    double pixel(double v) const
    {
        const double t = std::isnan(v) ? 0.0 : std::min(std::max((v - lo) / (hi - lo), 0.0), 1.0);
        return from + t * (to - from);
    }
    // Round data values 1, 2 or 5 times a power of ten apart, four to eight
    // of them, with the scaled value that places each.
    std::vector<std::pair<double, double>> ticks() const
    {
        const double dlo = origin + lo * unit, dhi = origin + hi * unit;
        std::vector<std::pair<double, double>> out;
        for (double v : round_values(dlo, dhi))
            out.push_back({v, (v - origin) / unit});
        return out;
    }
    static std::vector<double> round_values(double lo, double hi)
    {
        const double rough = (hi - lo) / 8;
        const double power = std::pow(10.0, std::floor(std::log10(rough)));
        double step = power;
        for (double f : {2.0, 5.0, 10.0})
            if (step < rough)
                step = f * power;
        std::vector<double> out;
        if (!(step > 0) || !std::isfinite(step))
            return out;
        for (double k = std::ceil(lo / step); k * step <= hi && out.size() < 12; k += 1)
            out.push_back(k * step == 0 ? 0.0 : k * step);  // no "-0" label
        return out;
    }
};

Axis make_axis(const Model &model, const Dataset &patterns, size_t feature, double from, double to)
{
    Axis axis;
    if (!model.scaling.enabled) {  // raw values: start from the data instead of [0, 1]
        axis.lo = INFINITY;
        axis.hi = -INFINITY;
    }
    for (size_t k = 0; k < model.members[0].nodes; ++k) {
        axis.cover(model.lower(0, k, feature));
        axis.cover(model.upper(0, k, feature));
    }
    for (size_t i = 0; i < patterns.rows; ++i)
        axis.cover(patterns.x[i * patterns.cols() + feature]);
    const double range = model.scaling.max[feature] - model.scaling.min[feature];
    if (model.scaling.enabled && range > 0 && std::isfinite(range)) {
        axis.origin = model.scaling.min[feature];
        axis.unit = range;
    }
    if (!(axis.lo <= axis.hi))
        axis.lo = 0, axis.hi = 1;
    const double span = axis.hi - axis.lo;
    const double pad = std::isfinite(span) && span > 0 ? 0.04 * span : 0.5;
    axis.lo -= pad;
    axis.hi += pad;
    if (!std::isfinite(axis.hi - axis.lo))  // a span near the double range cannot be padded
        axis.lo = -1e307, axis.hi = 1e307;
    axis.from = from;
    axis.to = to;
    return axis;
}

// What every part of the picture draws with: the classes, their colours and
// names, and the two axes.
struct Canvas {
    const Model &model;
    const Dataset &patterns;
    size_t fx, fy;
    std::vector<double> classes;  // of the boxes and the patterns, ascending
    Axis x, y;

    const char *colour(double label) const
    {
        const size_t at = static_cast<size_t>(std::lower_bound(classes.begin(), classes.end(), label) - classes.begin());
        return kPalette[at % kColours];
    }
    std::string name(double label) const
    {
        return class_name_of(patterns.classes.empty() ? model.classes : patterns.classes, label);
    }
};

std::string svg_head(const Canvas &c, const PlotOptions &options)
{
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + fmt("%.0f", kWidth) + "\" height=\"" +
           fmt("%.0f", kHeight) + "\" viewBox=\"0 0 " + fmt("%.0f", kWidth) + " " + fmt("%.0f", kHeight) +
           "\" font-family=\"sans-serif\" font-size=\"12\" style=\"background-color:#fff\">\n";
    const std::string title = options.title.empty()
                                  ? c.model.feature_names[c.fy] + " against " + c.model.feature_names[c.fx]
                                  : options.title;
    svg += "<title>" + xml_text(title) + "</title>\n";
    svg += "<text x=\"" + fmt("%.2f", (kLeft + kRight) / 2) + "\" y=\"" + fmt("%.2f", kTop - 10) +
           "\" text-anchor=\"middle\" font-size=\"14\" font-weight=\"bold\">" + xml_text(title) + "</text>\n";
    return svg;
}

// Frame, ticks at round values of the data's own units, and the feature names.
std::string svg_axes(const Canvas &c)
{
    std::string svg = "<g id=\"axes\" stroke=\"#000\" fill=\"none\">\n<path d=\"M" + fmt("%.2f", kLeft) + " " +
                      fmt("%.2f", kTop) + " V" + fmt("%.2f", kBottom) + " H" + fmt("%.2f", kRight) + "\"/>\n";
    std::string labels;
    for (const Axis *axis : {&c.x, &c.y}) {
        const bool horizontal = axis == &c.x;
        for (const auto &tick : axis->ticks()) {
            const double p = axis->pixel(tick.second);
            const std::string at = fmt("%.2f", p);
            if (horizontal) {
                svg += "<path d=\"M" + at + " " + fmt("%.2f", kBottom) + " v5\"/>\n";
                labels += "<text x=\"" + at + "\" y=\"" + fmt("%.2f", kBottom + 18) + "\" text-anchor=\"middle\">" +
                          fmt("%g", tick.first) + "</text>\n";
            } else {
                svg += "<path d=\"M" + fmt("%.2f", kLeft) + " " + at + " h-5\"/>\n";
                labels += "<text x=\"" + fmt("%.2f", kLeft - 8) + "\" y=\"" + fmt("%.2f", p + 4) +
                          "\" text-anchor=\"end\">" + fmt("%g", tick.first) + "</text>\n";
            }
        }
    }
    svg += "</g>\n<g id=\"ticks\">\n" + labels;
    svg += "<text x=\"" + fmt("%.2f", (kLeft + kRight) / 2) + "\" y=\"" + fmt("%.2f", kBottom + 40) +
           "\" text-anchor=\"middle\">" + xml_text(c.model.feature_names[c.fx]) + "</text>\n";
    svg += "<text transform=\"translate(18 " + fmt("%.2f", (kTop + kBottom) / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">" + xml_text(c.model.feature_names[c.fy]) + "</text>\n</g>\n";
    return svg;
}

// Boxes: active ones solid, the others (no pattern selected them) dashed
// and fainter, or left out; a box flat in a feature still gets a sliver.
// `*selected` counts the active ones.
std::string svg_boxes(const Canvas &c, const PlotOptions &options, size_t *selected)
{
    const Member &nodes = c.model.members.at(0);
    std::string svg = "<g id=\"nodes\" stroke-width=\"1.5\">\n";
    for (size_t k = 0; k < nodes.nodes; ++k) {
        const bool active = options.active.empty() || options.active[k];
        *selected += active;
        if (!active && options.active_only)
            continue;
        const double x0 = c.x.pixel(c.model.lower(0, k, c.fx)), x1 = c.x.pixel(c.model.upper(0, k, c.fx));
        const double y0 = c.y.pixel(c.model.upper(0, k, c.fy)), y1 = c.y.pixel(c.model.lower(0, k, c.fy));
        const char *colour = c.colour(nodes.labels[k]);
        svg += "<rect x=\"" + fmt("%.2f", std::min(x0, x1)) + "\" y=\"" + fmt("%.2f", std::min(y0, y1)) +
               "\" width=\"" + fmt("%.2f", std::max(std::fabs(x1 - x0), 1.0)) + "\" height=\"" +
               fmt("%.2f", std::max(std::fabs(y1 - y0), 1.0)) + "\" fill=\"" + colour + "\" stroke=\"" + colour + "\"" +
               (active ? " fill-opacity=\"0.12\"" : " fill-opacity=\"0.03\" stroke-opacity=\"0.5\" stroke-dasharray=\"3 3\"") +
               "><title>node " + std::to_string(k + 1) + ", " + xml_text(c.name(nodes.labels[k])) +
               (active ? "" : ", inactive") + "</title></rect>\n";
    }
    return svg + "</g>\n";
}

// Points above the boxes, outlined so that they show on a box of their own
// colour, then a cross on each misclassified one; `*wrong` counts those.
std::string svg_points(const Canvas &c, const PlotOptions &options, size_t *wrong, size_t *nearest)
{
    const Dataset &patterns = c.patterns;
    std::string svg = "<g id=\"patterns\" stroke=\"#222\" stroke-width=\"0.8\">\n";
    std::string crosses, rings;
    for (size_t i = 0; i < patterns.rows; ++i) {
        const double *row = &patterns.x[i * patterns.cols()];
        const double px = c.x.pixel(row[c.fx]), py = c.y.pixel(row[c.fy]);
        svg += "<circle cx=\"" + fmt("%.2f", px) + "\" cy=\"" + fmt("%.2f", py) + "\" r=\"3.5\" fill=\"" +
               (patterns.labelled() ? c.colour(patterns.y[i]) : kNoClass) + "\"/>\n";
        if (i < options.by_nearest.size() && options.by_nearest[i]) {
            ++*nearest;
            rings += "<circle cx=\"" + fmt("%.2f", px) + "\" cy=\"" + fmt("%.2f", py) + "\" r=\"6.5\"/>\n";
        }
        if (patterns.labelled() && i < options.predicted.size() && options.predicted[i] != patterns.y[i]) {
            ++*wrong;
            crosses += "<path d=\"M" + fmt("%.2f", px - 6) + " " + fmt("%.2f", py - 6) + " l12 12 m0 -12 l-12 12\"/>\n";
        }
    }
    if (!rings.empty())
        svg += "</g>\n<g id=\"nearest\" fill=\"none\" stroke=\"#222\" stroke-width=\"1\" stroke-dasharray=\"2 2\">\n" + rings;
    return svg + "</g>\n<g id=\"misclassified\" stroke=\"#d00\" stroke-width=\"1.8\">\n" + crosses + "</g>\n";
}

// One swatch per class (circles, so that rects are the nodes alone), then
// what the marks mean.
std::string svg_legend(const Canvas &c, const PlotOptions &options, size_t selected, size_t wrong, size_t nearest)
{
    std::string svg = "<g id=\"legend\">\n<text x=\"" + fmt("%.2f", kRight + 25) + "\" y=\"" +
                      fmt("%.2f", kTop + 4) + "\" font-weight=\"bold\">" + xml_text(c.model.label_name) + "</text>\n";
    double row_y = kTop + 24;
    const double step = c.classes.size() > 20 ? std::max(10.0, 400.0 / static_cast<double>(c.classes.size())) : 20;
    for (double label : c.classes) {
        svg += "<circle cx=\"" + fmt("%.2f", kRight + 30) + "\" cy=\"" + fmt("%.2f", row_y - 4) + "\" r=\"" +
               (step < 20 ? "4" : "6") + "\" fill=\"" + c.colour(label) + "\" stroke=\"#222\" stroke-width=\"0.8\"/>\n<text x=\"" +
               fmt("%.2f", kRight + 42) + "\" y=\"" + fmt("%.2f", row_y) + "\"" + (step < 20 ? " font-size=\"9\"" : "") +
               ">" + xml_text(c.name(label)) + "</text>\n";
        row_y += step;
    }
    if (c.classes.size() > kColours)
        svg += "<text x=\"" + fmt("%.2f", kRight + 25) + "\" y=\"" + fmt("%.2f", row_y) + "\" font-size=\"10\">" +
               std::to_string(c.classes.size()) + " classes, " + std::to_string(kColours) +
               " colours: they repeat</text>\n";
    row_y += 20;
    if (!c.patterns.labelled()) {
        svg += "<circle cx=\"" + fmt("%.2f", kRight + 30) + "\" cy=\"" + fmt("%.2f", row_y - 4) +
               "\" r=\"6\" fill=\"" + kNoClass + "\"/>\n<text x=\"" + fmt("%.2f", kRight + 42) + "\" y=\"" +
               fmt("%.2f", row_y) + "\">unlabelled pattern</text>\n";
        row_y += 20;
    }
    if (!options.predicted.empty() && c.patterns.labelled()) {
        svg += "<path d=\"M" + fmt("%.2f", kRight + 24) + " " + fmt("%.2f", row_y - 10) +
               " l12 12 m0 -12 l-12 12\" stroke=\"#d00\" stroke-width=\"1.8\"/>\n<text x=\"" +
               fmt("%.2f", kRight + 42) + "\" y=\"" + fmt("%.2f", row_y) + "\">misclassified (" +
               std::to_string(wrong) + ")</text>\n";
        row_y += 20;
    }
    if (nearest > 0) {
        svg += "<circle cx=\"" + fmt("%.2f", kRight + 30) + "\" cy=\"" + fmt("%.2f", row_y - 4) +
               "\" r=\"6.5\" fill=\"none\" stroke=\"#222\" stroke-dasharray=\"2 2\"/>\n<text x=\"" +
               fmt("%.2f", kRight + 42) + "\" y=\"" + fmt("%.2f", row_y) + "\">by the nearest box (" +
               std::to_string(nearest) + ")</text>\n";
        row_y += 20;
    }
    if (!options.active.empty())
        svg += "<text x=\"" + fmt("%.2f", kRight + 25) + "\" y=\"" + fmt("%.2f", row_y) + "\" font-size=\"10\">" +
               std::to_string(selected) + " of " + std::to_string(c.model.members.at(0).nodes) + " boxes selected" +
               (options.active_only ? "; only they are drawn" : "; dashed: the others") + "</text>\n";
    return svg + "</g>\n";
}

}  // namespace

std::string svg_plot(const Model &model, const Dataset &patterns, size_t fx, size_t fy, const PlotOptions &options)
{
    std::vector<double> all = model.members.at(0).labels;
    all.insert(all.end(), patterns.y.begin(), patterns.y.end());
    const Canvas c{model, patterns, fx, fy, distinct_labels(all), make_axis(model, patterns, fx, kLeft, kRight),
                   make_axis(model, patterns, fy, kBottom, kTop)};  // SVG's y grows downwards
    size_t selected = 0, wrong = 0;
    std::string svg = svg_head(c, options) + svg_axes(c);
    svg += svg_boxes(c, options, &selected);
    size_t nearest = 0;
    svg += svg_points(c, options, &wrong, &nearest);
    return svg + svg_legend(c, options, selected, wrong, nearest) + "</svg>\n";
}

}  // namespace cli
