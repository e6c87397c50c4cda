// The prepared model (see prepared.h).
//
// What stays true here: a model is made whole or left empty, and a call
// searches through NodeBlock::find_winners, as the classification driver
// does (passing over nodes of the winner's label where only labels are asked
// for), in windows of kClassifyWindow patterns, so that its working memory
// stays flat whatever the patterns.
#include "model/prepared.h"

#include "host/truncate.h"
#include "model/search/policy.h"
#include "model/search/regroup_policy.h"

#include <climits>
#include <cstring>

PreparedModel::PreparedModel(int m, const SearchConfig &config) : block_(m, config) {}

bool PreparedModel::make(const TemplateView &templates)
{
    const int m = features();
    Buffer<double> row;
    if (templates.count < 0 || !row.allocate(2 * static_cast<std::size_t>(m > 0 ? m : 0)) ||
        !labels_.allocate(static_cast<std::size_t>(templates.count)) || !block_.add_slots(templates.count)) {
        labels_.release();
        return false;
    }
    for (int k = 0; k < templates.count; ++k) {
        const char *values = templates.values + k * templates.row_stride;
        for (int j = 0; j < 2 * m; ++j)
            std::memcpy(&row[j], values + j * templates.column_stride, sizeof(double));
        block_.put_bounds(k, row.get(), row.get() + m);
        double label;
        std::memcpy(&label, templates.labels + k * templates.label_stride, sizeof label);
        labels_[k] = truncate_to_int(label);
    }
    // Made once for every call to come: grouped whenever a large batch
    // would be, each label's nodes apart so that searches for labels pass
    // over more. A failed regroup only leaves every search flat.
    if (block_.config().pruning && RegroupPolicy::batch_groups(count(), NodeBlock::kTileNodes, INT_MAX) &&
        block_.regroup(labels_.get()) && block_.groups())
        labelled_ = label_groups(*block_.groups(), labels_.get(), tile_labels_, group_labels_);
    return true;
}

bool PreparedModel::classify(const double *const *patterns, std::size_t n, double vigilance, double unknown,
                             double *labels, int *winners, int threads, double *nearest)
{
    using search_policy::kClassifyWindow;
    const double limit = threshold(vigilance, features()), any = threshold(0.0, features());
    const int unknown_label = truncate_to_int(unknown);
    const std::size_t window = n < static_cast<std::size_t>(kClassifyWindow) ? n : kClassifyWindow;
    Buffer<int> found;
    Buffer<double> sizes;
    if (n == 0)
        return true;
    if (!found.allocate(window) || !sizes.allocate(window))
        return false;
    if (threads <= 0)
        threads = block_.config().threads;
    // Without winners to give, a node of the winner's label will do, where
    // the winner passes both tests (the one at vigilance 0 it always passes).
    LabelRule rule;
    if (labelled_ && !winners) {
        rule.groups = block_.groups();
        rule.node_label = labels_.get();
        rule.tile_label = tile_labels_.get();
        rule.group_label = group_labels_.get();
        rule.limit = limit;
    }
    for (std::size_t first = 0; first < n; first += window) {
        const int part = static_cast<int>(n - first < window ? n - first : window);
        block_.find_winners(patterns + first, part, found.get(), sizes.get(), threads,
                            rule.groups ? &rule : nullptr);
        for (int p = 0; p < part; ++p) {
            const int winner = found[p];
            labels[first + p] = passes(winner, sizes[p], limit) ? labels_[winner] : unknown_label;
            if (winners)
                winners[first + p] = winner;
            if (nearest)
                nearest[first + p] = passes(winner, sizes[p], any) ? labels_[winner] : unknown_label;
        }
    }
    return true;
}
