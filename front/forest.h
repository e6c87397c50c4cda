// Forests: many members, each trained on a seeded sample of the rows and a
// seeded subset of the features (their vote is the policy's, front/policy.h).
// Both front ends draw here, so a forest fitted in Python and one trained by
// `quorv train` with the same settings and seed are the same model.
//
// What it keeps true: member k of a forest with seed S draws from an Engine
// seeded with S + k - 1, first its features (nothing when it uses all), then
// its rows, so a forest is rebuilt from its seed alone (the model file keeps
// no list of rows) and a member's features cost no row draws. With every
// feature and every row drawn without replacement, a member's rows are exactly
// the shuffle of `--shuffle --seed S+k-1`.
#ifndef QUORV_FRONT_FOREST_H
#define QUORV_FRONT_FOREST_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace front {

// "0.5", "1.0", ".5" (a decimal point: a fraction in (0, 1]) or "3" (a whole
// number: a count >= 1), as scikit-learn reads max_features and max_samples;
// for features also its rules "sqrt" and "log2": the square root or base-2
// logarithm of the total, rounded down, at least 1.
struct Amount {
    enum class Kind { fraction, count, sqrt, log2 };
    Kind kind = Kind::fraction;
    double value = 1.0;  // the fraction or the count
    // The count out of `total` `things` ("rows", "features"): a fraction gives
    // max(1, floor(value * total)). Throws Error "WHAT: 10 is more than the 4
    // features" when a count is above `total`.
    size_t of(size_t total, const std::string &what, const std::string &things) const;
};
// A forest member's features out of `total`: the amount's count, but a
// fraction or rule gives at least kLeastMemberFeatures (or all, when there are
// fewer): a member of one feature turns distinct rows into conflicting
// duplicates and costs 9 to 13 points of accuracy on data of 3 features. A
// count is taken as given.
constexpr size_t kLeastMemberFeatures = 2;
size_t member_feature_count(const Amount &amount, size_t total, const std::string &what);
// The presentation limit and trim_option a training call takes when the
// caller sets neither: a single model's (and members over shuffles') are the
// plug-in's usual 100 and off; a forest member's are smaller and on. At the
// vigilance of a forest a member keeps about a box per distinct row, and on
// data that does not converge every further presentation only adds boxes that
// no pattern selects, and time (bench/defaults_bench.py measures the choice).
struct TrainingDefaults {
    long max_list_presentations;
    long trim_option;
};
constexpr TrainingDefaults kSingleDefaults = {100, 0};
constexpr TrainingDefaults kMemberDefaults = {3, 1};
constexpr TrainingDefaults training_defaults(bool forest) { return forest ? kMemberDefaults : kSingleDefaults; }

// Parses an amount, the rules "sqrt" and "log2" only where `rules` (features);
// throws Error "WHAT: 'TEXT' is not ..." when it is none of them.
Amount parse_amount(const std::string &text, const std::string &what, bool rules = false);

// How each member samples its training rows.
struct SampleRule {
    size_t rows = 0;       // rows per member
    bool bootstrap = true;  // with replacement
};

// What member `member` (0-based) of a forest with `seed` trains on.
struct MemberDraw {
    std::vector<size_t> rows;      // training rows, in the order drawn (repeats when bootstrapping)
    std::vector<size_t> features;  // ascending
};
MemberDraw draw_member(size_t total_rows, const SampleRule &sample, size_t total_features, size_t features,
                       std::uint64_t seed, size_t member);

// Only the features of member `member`: the same as draw_member's, in time
// linear in total_features (the model reader checks each member's with it).
std::vector<size_t> member_features(size_t total_features, size_t features, std::uint64_t seed, size_t member);

// Reading a forest draws every member's features again (a member drawing
// fewer than all takes one draw per feature of the data), to check them: past
// kMaxForestDraws draws a file would take seconds to read. Training refuses
// such a forest and the reader such a file, both before any work.
constexpr std::uint64_t kMaxForestDraws = std::uint64_t{1} << 27;
// "" when `members` members drawing `features` of `total_features` stay
// within kMaxForestDraws, else the refusal naming the numbers.
std::string forest_draws_fault(size_t members, size_t features, size_t total_features);

}  // namespace front

#endif
