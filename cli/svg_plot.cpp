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

const double kWidth = 720, kHeight = 540;
const double kLeft = 70, kRight = 560, kTop = 30, kBottom = 470;  // plot area
const char *const kPalette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
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
    // Round values 1, 2 or 5 times a power of ten apart, four to eight of them.
    std::vector<double> ticks() const
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
    for (size_t k = 0; k < model.nodes; ++k) {
        axis.cover(model.lower(k, feature));
        axis.cover(model.upper(k, feature));
    }
    for (size_t i = 0; i < patterns.rows; ++i)
        axis.cover(patterns.x[i * patterns.cols() + feature]);
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

}  // namespace

std::string svg_plot(const Model &model, const Dataset &patterns, size_t fx, size_t fy)
{
    std::vector<double> all = model.labels;
    all.insert(all.end(), patterns.y.begin(), patterns.y.end());
    const std::vector<double> classes = distinct_labels(all);
    const auto colour = [&classes](double label) {
        const size_t at = static_cast<size_t>(std::lower_bound(classes.begin(), classes.end(), label) - classes.begin());
        return kPalette[at % (sizeof kPalette / sizeof kPalette[0])];
    };
    const Axis x = make_axis(model, patterns, fx, kLeft, kRight);
    const Axis y = make_axis(model, patterns, fy, kBottom, kTop);  // SVG's y grows downwards
    const std::string scaled = model.scaling.enabled ? " (scaled)" : "";

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + fmt("%.0f", kWidth) + "\" height=\"" +
           fmt("%.0f", kHeight) + "\" viewBox=\"0 0 " + fmt("%.0f", kWidth) + " " + fmt("%.0f", kHeight) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + xml_text(model.feature_names[fy] + " against " + model.feature_names[fx]) + "</title>\n";

    // Axes: frame, ticks at fifths of the range, and the feature names.
    svg += "<g id=\"axes\" stroke=\"#000\" fill=\"none\">\n<path d=\"M" + fmt("%.2f", kLeft) + " " +
           fmt("%.2f", kTop) + " V" + fmt("%.2f", kBottom) + " H" + fmt("%.2f", kRight) + "\"/>\n";
    std::string labels;
    for (const Axis *axis : {&x, &y}) {
        const bool horizontal = axis == &x;
        for (double v : axis->ticks()) {
            const double p = axis->pixel(v);
            const std::string at = fmt("%.2f", p);
            if (horizontal) {
                svg += "<path d=\"M" + at + " " + fmt("%.2f", kBottom) + " v5\"/>\n";
                labels += "<text x=\"" + at + "\" y=\"" + fmt("%.2f", kBottom + 18) + "\" text-anchor=\"middle\">" +
                          fmt("%g", v) + "</text>\n";
            } else {
                svg += "<path d=\"M" + fmt("%.2f", kLeft) + " " + at + " h-5\"/>\n";
                labels += "<text x=\"" + fmt("%.2f", kLeft - 8) + "\" y=\"" + fmt("%.2f", p + 4) +
                          "\" text-anchor=\"end\">" + fmt("%g", v) + "</text>\n";
            }
        }
    }
    svg += "</g>\n<g id=\"ticks\">\n" + labels;
    svg += "<text x=\"" + fmt("%.2f", (kLeft + kRight) / 2) + "\" y=\"" + fmt("%.2f", kBottom + 40) +
           "\" text-anchor=\"middle\">" + xml_text(model.feature_names[fx] + scaled) + "</text>\n";
    svg += "<text transform=\"translate(18 " + fmt("%.2f", (kTop + kBottom) / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">" + xml_text(model.feature_names[fy] + scaled) + "</text>\n</g>\n";

    // Boxes; a box flat in a feature still gets a visible sliver.
    svg += "<g id=\"nodes\" fill-opacity=\"0.15\" stroke-width=\"1.5\">\n";
    for (size_t k = 0; k < model.nodes; ++k) {
        const double x0 = x.pixel(model.lower(k, fx)), x1 = x.pixel(model.upper(k, fx));
        const double y0 = y.pixel(model.upper(k, fy)), y1 = y.pixel(model.lower(k, fy));
        const char *c = colour(model.labels[k]);
        svg += "<rect x=\"" + fmt("%.2f", std::min(x0, x1)) + "\" y=\"" + fmt("%.2f", std::min(y0, y1)) +
               "\" width=\"" + fmt("%.2f", std::max(std::fabs(x1 - x0), 1.0)) + "\" height=\"" +
               fmt("%.2f", std::max(std::fabs(y1 - y0), 1.0)) + "\" fill=\"" + c + "\" stroke=\"" + c +
               "\"><title>node " + std::to_string(k + 1) + ", label " + format_double(model.labels[k]) +
               "</title></rect>\n";
    }
    svg += "</g>\n<g id=\"patterns\" stroke=\"#fff\" stroke-width=\"0.5\">\n";
    for (size_t i = 0; i < patterns.rows; ++i) {
        const double *row = &patterns.x[i * patterns.cols()];
        svg += "<circle cx=\"" + fmt("%.2f", x.pixel(row[fx])) + "\" cy=\"" + fmt("%.2f", y.pixel(row[fy])) +
               "\" r=\"3\" fill=\"" + (patterns.labelled() ? colour(patterns.y[i]) : kNoClass) + "\"/>\n";
    }

    // Legend: one swatch per class (circles, so that rects are the nodes alone).
    svg += "</g>\n<g id=\"legend\">\n<text x=\"" + fmt("%.2f", kRight + 25) + "\" y=\"" + fmt("%.2f", kTop + 4) +
           "\" font-weight=\"bold\">" + xml_text(model.label_name) + "</text>\n";
    double row_y = kTop + 24;
    for (double label : classes) {
        svg += "<circle cx=\"" + fmt("%.2f", kRight + 30) + "\" cy=\"" + fmt("%.2f", row_y - 4) + "\" r=\"6\" fill=\"" +
               colour(label) + "\"/>\n<text x=\"" + fmt("%.2f", kRight + 42) + "\" y=\"" + fmt("%.2f", row_y) +
               "\">" + xml_text(format_double(label)) + "</text>\n";
        row_y += 20;
    }
    if (!patterns.labelled()) {
        svg += "<circle cx=\"" + fmt("%.2f", kRight + 30) + "\" cy=\"" + fmt("%.2f", row_y - 4) +
               "\" r=\"6\" fill=\"" + kNoClass + "\"/>\n<text x=\"" + fmt("%.2f", kRight + 42) + "\" y=\"" +
               fmt("%.2f", row_y) + "\">unlabelled pattern</text>\n";
    }
    svg += "</g>\n</svg>\n";
    return svg;
}

}  // namespace cli
