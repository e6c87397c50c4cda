// The groups of nearby boxes that let a search skip most nodes.
//
// A regroup copies the nodes once more, in k-d order, so that each tile holds
// nearby boxes, and keeps for every tile, and for every group of kTileNodes
// tiles, the largest lower bound, the smallest upper bound and the smallest
// width of each feature (the tile's or group's bounds), and the smallest box
// size.
//
// Names: "bounds" are always those of boxes: a node's lower and upper bounds,
// or the three above of a tile or group. A "least size" is a limit on sizes:
// no member's join size with the pattern goes below it (the kernels'
// least_sizes* compute it from the bounds).
//
// Why the least sizes hold: a member's join term in a feature is at least
// the term the two bounds give with the pattern (a rounded difference of a
// larger or equal first and a smaller or equal second operand) and at least
// its own width, so at least the larger of that term and the smallest width;
// no term is negative, and larger terms added in the same order never give a
// smaller sum. That sum, and the smallest box size, are thus no more than any
// member's join size: a group whose least size is above the best size found
// cannot hold the winner (compared as size, then node number, for the ties:
// out_of_reach in join.h).
//
// What stays true:
// - Group bounds are sound only for finite boxes with lower <= upper and a
//   finite pattern. Any other box is put in tiles of its own after the sound
//   ones, with bounds +inf / -inf and width 0 (size 0 for every finite
//   pattern, so always searched); a pattern that is not finite is searched
//   without the groups.
// - learn may move a box's bounds either way (by a rounding, too):
//   refresh_groups takes the new box into the bounds of its tile and group,
//   which keep the old one's too (bounds taken over more boxes are weaker,
//   never wrong).
// - Empty slots of the grouped tiles hold NaN bounds and node INT_MAX. Bound
//   lanes past the last tile or group hold NaN bounds (NaN least sizes), and
//   lanes past the last tile a smallest box of +inf: none is ever searched.
// - A regroup is cut into parts at whole groups (GroupIndex::begin splits
//   only ranges of more than a group, at a whole number of groups), so that
//   threads doing different parts write disjoint tiles, lanes and groups.
// - A GroupIndex holds groups and the calling thread's scratch for them
//   together, or neither.
#ifndef QUORV_MODEL_SEARCH_GROUPING_H
#define QUORV_MODEL_SEARCH_GROUPING_H

#include "model/search/buffer.h"
#include "model/search/kernels.h"
#include "model/search/policy.h"
#include "model/search/tiles.h"

#include <cstddef>
#include <climits>
#include <cstdint>
#include <memory>

// The grouped copy of the first `count` nodes.
struct NodeGroups {
    int count = 0;
    int tiles = 0;        // tiles of nodes
    int groups = 0;       // groups of kTileNodes tiles
    int group_tiles = 0;  // bound tiles of the groups
    Buffer<double> nodes;  // node bounds, tile by tile, in group order
    // Bound tiles: per feature a row of kTileNodes largest lower bounds, one
    // of smallest upper bounds and one of smallest widths (upper - lower).
    Buffer<double> tile_bounds;   // one bound tile per group: lane j bounds its tile j
    Buffer<double> group_bounds;  // lane j of bound tile q bounds group kTileNodes * q + j
    Buffer<int> slot_node;        // node number in each slot; INT_MAX when empty
    Buffer<int> node_slot;        // slot of each node
    Buffer<int> tile_first;       // lowest node number of each tile
    Buffer<int> group_first;      // lowest node number of each group
    // Smallest size (widths summed in feature order) of the boxes of each
    // tile and group, no more than any member's join size: every term of a
    // join is at least the width in its feature. 0 with an unsound box.
    Buffer<double> tile_smallest_box;
    Buffer<double> group_smallest_box;
};

// What one searching thread needs besides the block; null without the memory.
struct GroupScratch {
    // The groups' least sizes with up to four patterns, and the least of the
    // four: five rows of group_tiles * kTileNodes.
    Buffer<double> group_least_sizes;
    Buffer<int> order;
    std::int64_t sized = 0;  // work done within the groups, in nodes sized

    static std::unique_ptr<GroupScratch> make(const NodeGroups &g);
};

// For searches that need the winner's label only: the label each tile and
// group carries where all its members carry one (kMixedLabel elsewhere). A
// unit of the current winner's label may be passed over once the current
// best passes (size <= limit), if it is kept: the search ends only when
// every unit passed over is out of reach of the final winner or of its label.
// Then the true winner is the final one or a node of its label in a unit
// passed over, whose size is no larger, so it passes too: the same label,
// though another winner and size. Only for callers that read labels.
struct LabelRule {
    static constexpr int kMixedLabel = INT_MIN;
    const NodeGroups *groups = nullptr;  // the groups these labels were made for
    const int *node_label = nullptr;     // by node number
    const int *tile_label = nullptr;   // by grouped tile
    const int *group_label = nullptr;  // by group
    double limit = 0.0;
    // Whether a unit of label `label` may be passed over for a best of
    // `size` held by `winner` (-1: none).
    bool passes_over(int label, double size, int winner) const
    {
        return winner >= 0 && label != kMixedLabel && size <= limit && label == node_label[winner];
    }
};

// Labels of the tiles and groups of g from node_label (by node number), into
// tile_label and group_label; false when memory ran out.
bool label_groups(const NodeGroups &g, const int *node_label, Buffer<int> &tile_label, Buffer<int> &group_label);

// A point's key in one split of the k-d order: its coordinate across the
// split (for a node, one of its bounds) and its number.
struct SplitKey {
    double value;
    int node;
};

// A regroup in three steps: GroupIndex::begin, then the parts, in any order
// and on any threads, then GroupIndex::end. The first splits of
// the k-d order, made at the beginning, part the nodes; each part orders its
// own further and fills its tiles and groups.
struct Regrouping {
    std::unique_ptr<NodeGroups> g;
    Buffer<int> order;
    Buffer<SplitKey> keys;
    // The block's tiles, read and not changed until the regroup ends.
    const double *tiles = nullptr;
    int m = 0;
    std::size_t tile_doubles = 0;
    // The first `sound` nodes of the order have boxes the bounds hold for;
    // they fill the first sound_tiles tiles, the others the tiles after.
    int sound = 0, sound_tiles = 0;
    // Part i is nodes split[i] .. split[i + 1] - 1 of the order: sound boxes
    // split at whole groups, the others with the last part.
    int parts = 0;
    int split[search_policy::kRegroupParts + 1] = {};

    // With node labels: the sound nodes in runs of one label each, run i at
    // order positions run_start[i] .. run_start[i + 1] - 1 and slots from
    // run_slot[i], at whole groups, so that most tiles and groups hold one
    // label (LabelRule); then there is one part. runs == 0: no such runs.
    const int *node_label = nullptr;
    int runs = 0;
    Buffer<int> run_start, run_slot;

    void part(int index);  // fills the tiles and groups of one part
    int slot(int p) const;  // the slot of order position p
    // Node j's lower bound of feature i at lane(j)[2 * kTileNodes * i], its
    // upper bound kTileNodes further on.
    const double *lane(int j) const
    {
        constexpr int kW = search_kernels::kTileNodes;
        return tiles + static_cast<std::size_t>(j / kW) * tile_doubles + j % kW;
    }
};

// Widens the bounds of node k's tile and group to take in its new box.
void refresh_groups(NodeGroups &g, int k, int m, std::size_t tile_doubles, const double *lower,
                    const double *upper);

// The groups of a block's nodes, with the calling thread's scratch for
// searching them (grouped_query.h).
class GroupIndex {
public:
    // Nodes in the groups (the first grouped() nodes; 0: no groups).
    int grouped() const { return groups_ ? groups_->count : 0; }
    // Null without groups.
    const NodeGroups *groups() const { return groups_.get(); }
    GroupScratch *scratch() const { return scratch_.get(); }

    // Orders all nodes of `tiles` into groups with bounds, on this thread;
    // with node_label (by node number), the nodes of each label apart, where
    // the labels are few enough for that to leave few slots empty. False
    // when memory ran out: there are then no groups.
    bool regroup(const TileView &tiles, const int *node_label = nullptr);
    // The same in steps (see Regrouping): begin drops the groups and readies
    // r; end keeps what the parts made. False when memory ran out.
    bool begin(Regrouping &r, const TileView &tiles, const int *node_label = nullptr);
    bool end(Regrouping &r);
    // Node k's box has changed: its groups take it in, where it is grouped.
    void refresh(int k, std::size_t tile_doubles, int m, const double *lower, const double *upper)
    {
        if (groups_ && k < groups_->count)
            refresh_groups(*groups_, k, m, tile_doubles, lower, upper);
    }

private:
    void forget();

    std::unique_ptr<NodeGroups> groups_;
    std::unique_ptr<GroupScratch> scratch_;
};

// Orders order[0, n) so that every run of kTileNodes points from the start,
// and every run of kTileNodes^2, lies close together (points of m doubles
// each). Without the memory it needs the order stays, which only makes the
// groups prune less.
void kd_order(int *order, int n, const double *points, int m);

// order[0..n-1] gets the patterns' numbers, the finite ones first in k-d
// order, then the others as given; the count of finite ones is returned.
// Without memory for the points, the order given, and no finite ones (they
// are then searched one by one, with the same winners).
int order_patterns(const double *const *patterns, int n, int m, int *order);

bool all_finite(const double *x, int m);

#endif
