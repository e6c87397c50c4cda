// Forest draws.
#include "forest.h"

#include "draws.h"
#include "error.h"
#include "numbers.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace front {

Amount parse_amount(const std::string &text, const std::string &what, bool rules)
{
    Amount a;
    if (rules && (text == "sqrt" || text == "log2")) {
        a.kind = text == "sqrt" ? Amount::Kind::sqrt : Amount::Kind::log2;
        return a;
    }
    if (text.find('.') != std::string::npos) {
        double v = 0;
        if (parse_double(text, &v) && v > 0 && v <= 1) {
            a.value = v;
            return a;
        }
        throw Error(what + ": '" + text + "' is not a fraction in (0, 1]");
    }
    long count = 0;
    if (!parse_long(text, 1, LONG_MAX, &count))
        throw Error(what + ": '" + text +
                    (rules ? "' is none of: a fraction with a decimal point (0.5, 1.0), a whole number >= 1 (a count), "
                             "sqrt, log2"
                           : "' is neither a fraction with a decimal point (0.5, 1.0) nor a whole number >= 1 (a count)"));
    a.kind = Amount::Kind::count;
    a.value = static_cast<double>(count);
    return a;
}

size_t Amount::of(size_t total, const std::string &what, const std::string &things) const
{
    if (kind != Kind::count) {
        const double t = static_cast<double>(total);
        const double n = std::floor(kind == Kind::sqrt ? std::sqrt(t) : kind == Kind::log2 ? std::log2(t) : value * t);
        return n < 1 ? 1 : static_cast<size_t>(n);
    }
    if (!(value <= static_cast<double>(total)))
        throw Error(what + ": " + format_double(value) + " is more than the " + std::to_string(total) + " " +
                    things);
    return static_cast<size_t>(value);
}

size_t member_feature_count(const Amount &amount, size_t total, const std::string &what)
{
    const size_t n = amount.of(total, what, "features");
    return amount.kind == Amount::Kind::count ? n : std::max(n, std::min(kLeastMemberFeatures, total));
}

namespace {

std::vector<size_t> identity(size_t n)
{
    std::vector<size_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = i;
    return v;
}

// The features, first from the member's engine: none drawn when all are
// used. They are the head of a shuffle of all features, taken without
// shuffling them (shuffled_head); `then_rows` leaves the engine where the
// whole shuffle would, for the rows.
std::vector<size_t> draw_features(Engine &rng, size_t total_features, size_t features, bool then_rows)
{
    if (features == 0 || features > total_features)
        throw Error("a forest member needs from 1 to " + std::to_string(total_features) + " features");
    if (features == total_features)
        return identity(total_features);
    return shuffled_head(rng, total_features, features, then_rows);
}

}  // namespace

MemberDraw draw_member(size_t total_rows, const SampleRule &sample, size_t total_features, size_t features,
                       std::uint64_t seed, size_t member)
{
    if (total_rows == 0 || sample.rows == 0 || (!sample.bootstrap && sample.rows > total_rows))
        throw Error("a forest member needs at least one row, and no more than there are without replacement");
    Engine rng(seed + member);
    MemberDraw d;
    d.features = draw_features(rng, total_features, features, true);
    if (sample.bootstrap) {
        d.rows.reserve(sample.rows);
        for (size_t i = 0; i < sample.rows; ++i)
            d.rows.push_back(draw_below(rng, total_rows));
    } else {
        // A whole shuffle, so that all rows give the shuffle of --shuffle.
        d.rows = identity(total_rows);
        shuffle(&d.rows, rng);
        d.rows.resize(sample.rows);
    }
    return d;
}

std::vector<size_t> member_features(size_t total_features, size_t features, std::uint64_t seed, size_t member)
{
    Engine rng(seed + member);
    return draw_features(rng, total_features, features, false);
}

std::string forest_draws_fault(size_t members, size_t features, size_t total_features)
{
    if (features >= total_features || total_features == 0 || members <= kMaxForestDraws / total_features)
        return "";
    return std::to_string(members) + " members drawing " + std::to_string(features) + " of " +
           std::to_string(total_features) + " features take " + std::to_string(members) + " x " +
           std::to_string(total_features) + " draws to read back, more than " + std::to_string(kMaxForestDraws) +
           " (fewer members, or all the features per member)";
}

}  // namespace front
