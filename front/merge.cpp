// Conflict merging: groups of identical patterns found by hashing the values
// the plug-in sees, in one pass over the presentation order.
#include "merge.h"

#include "error.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <unordered_map>

namespace front {

namespace {

// Value j (among the call's columns) of presented pattern r.
double seen(const Patterns &p, size_t r, size_t k)
{
    const size_t j = p.columns ? (*p.columns)[k] : k;
    const double v = p.x.at(p.rows ? (*p.rows)[r] : r, j);
    return p.scaling && p.scaling->enabled ? scale_value(v, p.scaling->min[j], p.scaling->max[j]) : v;
}

}  // namespace

Patterns Merged::patterns(const Patterns &original) const
{
    Patterns p = original;
    p.rows = &rows;
    return p;
}

Patterns Merged::label_column() const
{
    Patterns p;
    p.x = MatrixView::row_major(labels.data(), labels.size(), 1);
    return p;
}

Merged merge_conflicts(const Patterns &patterns, const Patterns &labels)
{
    const size_t n = patterns.count(), m = patterns.width();
    if (labels.count() != n || labels.width() != 1)
        throw Error("one label per pattern is needed");
    if (patterns.scaling && patterns.scaling->enabled &&
        (patterns.scaling->min.size() != patterns.x.cols || patterns.scaling->max.size() != patterns.x.cols))
        throw Error("scaling needs one minimum and one maximum per feature");
    std::vector<double> values(n * m);
    for (size_t r = 0; r < n; ++r)
        for (size_t k = 0; k < m; ++k) {
            const double v = seen(patterns, r, k);
            values[r * m + k] = v == 0 ? 0.0 : v;  // -0 hashes as 0
        }
    const auto row_hash = [&](size_t r) {
        size_t h = m;
        for (size_t k = 0; k < m; ++k) {
            std::uint64_t bits;
            std::memcpy(&bits, &values[r * m + k], sizeof bits);
            h = h * 1000003u ^ std::hash<std::uint64_t>()(bits);
        }
        return h;
    };
    const auto same = [&](size_t a, size_t b) {
        for (size_t k = 0; k < m; ++k)
            if (!(values[a * m + k] == values[b * m + k]))
                return false;
        return true;
    };
    // Each group: its first pattern and every label it holds.
    std::unordered_map<size_t, size_t, decltype(row_hash), decltype(same)> group_of(n, row_hash, same);
    std::vector<size_t> first;
    std::vector<std::vector<double>> group_labels;
    std::vector<size_t> group(n);
    for (size_t r = 0; r < n; ++r) {
        bool nan = false;  // a NaN equals nothing: its pattern is a group of its own
        for (size_t k = 0; k < m; ++k)
            nan = nan || std::isnan(values[r * m + k]);
        const auto found = nan ? std::make_pair(group_of.end(), true) : group_of.emplace(r, first.size());
        if (found.second) {
            first.push_back(r);
            group_labels.emplace_back();
        }
        group[r] = nan ? first.size() - 1 : found.first->second;
        group_labels[group[r]].push_back(labels.x.at(labels.rows ? (*labels.rows)[r] : r, 0));
    }
    std::vector<char> conflict(first.size(), 0);
    std::vector<double> majority(first.size());
    for (size_t g = 0; g < first.size(); ++g) {
        std::vector<double> &ls = group_labels[g];
        std::sort(ls.begin(), ls.end());
        conflict[g] = ls.front() != ls.back();
        // The longest run of the sorted labels; the first (lowest) among equals.
        size_t best = 0, best_run = 0;
        for (size_t i = 0; i < ls.size();) {
            size_t j = i;
            while (j < ls.size() && ls[j] == ls[i])
                ++j;
            if (j - i > best_run)
                best = i, best_run = j - i;
            i = j;
        }
        majority[g] = ls[best];
    }
    Merged out;
    for (size_t r = 0; r < n; ++r) {
        const size_t g = group[r];
        if (conflict[g] && first[g] != r)
            continue;
        out.rows.push_back(patterns.rows ? (*patterns.rows)[r] : r);
        out.labels.push_back(conflict[g] ? majority[g] : labels.x.at(labels.rows ? (*labels.rows)[r] : r, 0));
    }
    out.merged = n - out.rows.size();
    return out;
}

}  // namespace front
