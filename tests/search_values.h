// Inputs for the search's tests: values drawn to make join sizes tie and to
// tell apart the ways of writing min, max and the sums, and template rows of
// them.
#ifndef QUORV_TESTS_SEARCH_VALUES_H
#define QUORV_TESTS_SEARCH_VALUES_H

#include <cstddef>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace search_values {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Values drawn mostly from a coarse lattice, so that join sizes tie, mixed
// with the values that tell the ways of writing min, max and the sums apart.
struct Values {
    std::mt19937_64 rng;
    int edge_percent;

    double next()
    {
        static const double edges[] = {0.0, -0.0, 1.0, kNaN, kInf, -kInf, 1e300, -1e300, 5e-324, -5e-324, 0.1};
        if (static_cast<int>(rng() % 100) < edge_percent)
            return edges[rng() % (sizeof edges / sizeof edges[0])];
        if (rng() % 4 == 0)
            return std::uniform_real_distribution<double>(-0.5, 1.5)(rng);
        return 0.25 * static_cast<double>(rng() % 5);
    }
    // A template row: lower then upper bounds, sometimes inverted.
    std::vector<double> row(int m)
    {
        std::vector<double> r(2 * static_cast<std::size_t>(m));
        for (int i = 0; i < m; ++i) {
            double a = next(), b = next();
            if (a > b && rng() % 4 != 0)
                std::swap(a, b);
            r[i] = a;
            r[m + i] = b;
        }
        return r;
    }
    std::vector<double> pattern(int m)
    {
        std::vector<double> p(static_cast<std::size_t>(m));
        for (double &v : p)
            v = next();
        return p;
    }
};

// k template rows, some repeating an earlier one.
inline std::vector<std::vector<double>> template_rows(Values *v, int k, int m)
{
    std::vector<std::vector<double>> rows;
    for (int j = 0; j < k; ++j)
        rows.push_back(j > 0 && v->rng() % 5 == 0 ? rows[v->rng() % rows.size()] : v->row(m));
    return rows;
}

}  // namespace search_values

#endif
