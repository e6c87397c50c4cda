// Grids of settings for `quorv tune`.
#include "tuning.h"

#include "error.h"
#include "numbers.h"

#include <cmath>
#include <cstdio>

namespace cli {

std::vector<double> parse_grid(const std::string &text, const std::string &option)
{
    const auto number = [&](const std::string &part) {
        double v = 0;
        if (!parse_double(part, &v) || !std::isfinite(v))
            throw UsageError(option + ": '" + part + "' is not a number (give V, V1,V2,... or FROM:TO:STEP)");
        return v;
    };
    std::vector<double> values;
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        size_t start = 0;
        for (;;) {
            const size_t comma = text.find(',', start);
            values.push_back(number(text.substr(start, comma - start)));
            if (comma == std::string::npos)
                return values;
            start = comma + 1;
        }
    }
    const size_t second = text.find(':', colon + 1);
    if (second == std::string::npos || text.find(':', second + 1) != std::string::npos)
        throw UsageError(option + ": '" + text + "' is not FROM:TO:STEP");
    const double from = number(text.substr(0, colon)), to = number(text.substr(colon + 1, second - colon - 1)),
                 step = number(text.substr(second + 1));
    if (!(step > 0) || to < from)
        throw UsageError(option + ": '" + text + "' needs FROM <= TO and STEP > 0");
    const double count = std::floor((to - from) / step + 1e-9);
    if (count >= 1000)
        throw UsageError(option + ": '" + text + "' makes more than 1000 values");
    // from + k*step, rounded to 12 digits so that 0.1 steps print as 0.1 steps
    for (double k = 0; k <= count; k += 1) {
        const double v = from + k * step;
        char text12[64];
        std::snprintf(text12, sizeof text12, "%.12g", v);
        double rounded = v;
        parse_double(text12, &rounded);
        values.push_back(rounded);
    }
    return values;
}

}  // namespace cli
