// The training driver.
//
// What it keeps true: every node and the node list are owned by a NodeList,
// the result rows and labels by HostRows until they are handed to the
// caller, so every path out releases what it made; the host sees its
// allocations and releases in the same order on every path (the list grown
// by mxCalloc and mxRealloc, the rows array, the labels, each row; on
// failure the rows, the rows array, the labels, then the list).
#include "train/run_training.h"

#include "host/args.h"
#include "host/clock.h"
#include "host/host_block.h"
#include "model/node.h"
#include "model/node_list.h"
#include "model/search.h"
#include "mex.h"

#include <cstdint>

namespace {

// Adds one slot and a node made from the pattern, and copies its bounds into
// the search block; false when memory ran out.
bool add_node(NodeList &list, NodeBlock &block, const double *pattern, int label)
{
    if (!list.grow_in_host() || !block.reserve(list.count() + 1))
        return false;
    Node *node = Node::create(pattern, label, 0);
    if (!node)
        return false;
    list.push(node);
    block.append(*node);  // cannot fail: the room is reserved
    return true;
}

void print_summary(bool converged, int list_presentations, int n, int trim_option, int total,
                   int inactive, int template_count, std::uint32_t comparison_total, int seconds)
{
    mexPrintf("\nQuorv training ");
    mexPrintf(converged ? "converged " : "stopped ");
    if (list_presentations == 1)
        mexPrintf("after %d list presentation\n", list_presentations);
    else
        mexPrintf("after %d list presentations\n", list_presentations);
    mexPrintf("Training set contained %d training patterns\n", n);
    if (trim_option == 1)
        mexPrintf(inactive == 1 ? "%d inactive node trimmed " : "%d inactive nodes trimmed ", inactive);
    else
        mexPrintf(inactive == 1 ? "%d inactive node detected " : "%d inactive nodes detected ", inactive);
    // With no node at all there is nothing redundant: 0 rather than 0/0.
    const double redundancy = total > 0 ? inactive * 100.0 / total : 0.0;
    mexPrintf("(%f%% redundacy)\n", redundancy);
    // Storage of the templates against the training set; 0 with no patterns.
    const double c = n > 0 ? (1.0 - 2.0 * template_count / n) * 100.0 : 0.0;
    const double shown = c < 0 ? -c : c;
    if (template_count == 1)
        mexPrintf("%d node created (%f%% ", template_count, shown);
    else
        mexPrintf("%d nodes created (%f%% ", template_count, shown);
    mexPrintf(c >= 0 ? "compression)\n" : "inflation)\n");
    mexPrintf("%lu FLOPs and %lu comparisons in %d seconds\n\n",
              counter_arg(Node::params.flop_count + 5u),
              counter_arg(Node::params.comparison_count + comparison_total), seconds);
}

// One training call's state between its steps.
struct Training {
    int n, m;
    double **patterns;
    const double *labels;
    double threshold, vigilance, learning_rate;
    int oflag;
    std::int64_t join_flops, create_flops;
    NodeList list;
    NodeBlock block;
    std::uint32_t comparison_total = 0;
    // This presentation's tallies.
    int new_nodes = 0, updates = 0;

    Training(int n_, int m_, double **patterns_, const double *labels_)
        : n(n_), m(m_), patterns(patterns_), labels(labels_), block(m_, plugin_search_config())
    {
    }
};

// The winner passed both tests: it learns the pattern.
void learn_pattern(Training &t, int winner, int number)
{
    Node *node = t.list[winner];
    const int changed = node->learn();
    t.block.refresh(winner, *node);  // learn may have moved the box
    std::int64_t flops = 1;
    if (node->growth != 0) {
        flops += 1;
        if (t.learning_rate < 1)
            flops += 4 * static_cast<std::int64_t>(t.m) + (changed ? 8 * static_cast<std::int64_t>(t.m) : 0);
    }
    add_host_flops(flops);
    node->active = 1;
    if (changed)
        ++t.updates;
    if (t.oflag >= 3) {
        if (changed)
            mexPrintf("   Pattern #%d updated  node #%d (label %d)", number, winner + 1, node->label);
        else
            mexPrintf("   Pattern #%d selected node #%d (label %d), which encodes it.\n", number, winner + 1,
                      node->label);
    }
}

// Whether the winner passes the vigilance and label tests (the trace says why not).
bool winner_takes(const Training &t, int winner, double label, int number, int label_int)
{
    const Node *node = t.list[winner];
    if (!(node->join_size <= t.threshold)) {
        if (t.oflag == 4)
            mexPrintf("      Winning Node #%d fails the VT (MFV=%f < rho=%f)\n", winner + 1,
                      1 - node->join_size / t.m, t.vigilance);
        return false;
    }
    if (label != static_cast<double>(node->label)) {
        if (t.oflag == 4)
            mexPrintf("      Winning Node #%d (label %d) and pattern %d (label %d) of different "
                      "class labels. Node disqualified. \n",
                      winner + 1, node->label, number, label_int);
        return false;
    }
    return true;
}

// One pattern presented: learned by the winner, or a node of its own; false
// when memory ran out.
bool present_pattern(Training &t, int p_index)
{
    const int number = p_index + 1;
    const double *pattern = t.patterns[p_index];
    const double label = t.labels[p_index];
    const int label_int = truncate_to_int(label);
    if (t.oflag >= 3)
        mexPrintf("   Pattern #%d is being presented (label %d)\n", number, label_int);

    std::uint32_t comparisons = static_cast<std::uint32_t>(t.list.count());
    // Besides the joins' own counts, 4M + 1 host flops per join are the
    // driver's. The next pattern is sized in the same pass over the nodes.
    const double *next = p_index + 1 < t.n ? t.patterns[p_index + 1] : nullptr;
    const int winner =
        t.list.count() > 0 ? search_winner(t.list.nodes(), t.block, pattern, t.join_flops, next, p_index) : -1;
    bool create = true;
    if (winner >= 0) {
        ++comparisons;
        if (winner_takes(t, winner, label, number, label_int)) {
            create = false;
            learn_pattern(t, winner, number);
        }
    }
    if (create) {
        if (!add_node(t.list, t.block, pattern, label_int))
            return false;
        ++t.new_nodes;
        add_host_flops(t.create_flops);
        Node *node = t.list[t.list.count() - 1];
        node->active = 1;
        if (t.oflag >= 3)
            mexPrintf("   Pattern #%d created  node #%d (label %d).\n", number, t.list.count(), node->label);
    }
    add_host_flops(comparisons);
    t.comparison_total += comparisons;
    return true;
}

// List presentations until nothing changes or the limit; false when memory
// ran out. *converged tells which ended it.
bool present_lists(Training &t, int max_list_presentations, int *list_presentations, bool *converged)
{
    *converged = false;
    for (;;) {
        t.new_nodes = 0;
        t.updates = 0;
        ++*list_presentations;
        for (int k = 0; k < t.list.count(); ++k)
            t.list[k]->active = 0;
        if (t.oflag >= 4)
            mexPrintf("\nList presentation #%d:\n", *list_presentations);
        for (int p_index = 0; p_index < t.n; ++p_index)
            if (!present_pattern(t, p_index))
                return false;
        if (t.oflag == 2)
            mexPrintf("List presentation #%d: %d new nodes created, %d node updates\n", *list_presentations,
                      t.new_nodes, t.updates);
        else if (t.oflag >= 3)
            mexPrintf("   Summary: %d new nodes created, %d node updates\n", t.new_nodes, t.updates);
        if (t.new_nodes == 0 && t.updates == 0) {
            *converged = true;
            --*list_presentations;
            return true;
        }
        if (*list_presentations >= max_list_presentations)
            return true;
    }
}

}  // namespace

void run_training(const int *N, const int *M, double **patterns, const double *labels,
                  const double *vigilance, const double *min_size, const double *learning_rate,
                  const double *epsilon, const int *max_list_presentations,
                  const int *trim_option, int *template_count, double ***Templates,
                  double **NLabels, int *list_presentations, int oflag)
{
    const int n = *N;
    const int m = *M;
    *template_count = 0;
    *Templates = nullptr;
    *NLabels = nullptr;

    const double threshold = (1 - *vigilance) * m;
    add_host_flops(2);
    Node::use_params(training_params(m, *min_size, *learning_rate, *epsilon));
    Node::count_ops(3, 0);
    add_host_flops(3);

    Training t(n, m, patterns, labels);
    t.threshold = threshold;
    t.vigilance = *vigilance;
    t.learning_rate = *learning_rate;
    t.oflag = oflag;
    *list_presentations = 0;
    const int start = clock_seconds();
    t.join_flops = 4 * static_cast<std::int64_t>(m) + 1;
    t.create_flops = 1 + (*min_size > 0 ? 4 * static_cast<std::int64_t>(m) : 0);
    // Later searches of a pattern build on its earlier ones (time only; on
    // failure every search starts afresh).
    t.block.remember(n);
    bool converged = false;
    if (!present_lists(t, *max_list_presentations, list_presentations, &converged))
        return;  // *Templates stays null: out of memory

    int active = 0;
    for (int k = 0; k < t.list.count(); ++k)
        if (t.list[k]->active == 1)
            ++active;
    const int inactive = t.list.count() - active;
    const int count = *trim_option == 1 ? active : t.list.count();
    const int seconds = clock_seconds() - start;
    if (oflag >= 1)
        print_summary(converged, *list_presentations, n, *trim_option, t.list.count(), inactive, count,
                      t.comparison_total, seconds);

    HostRows rows(count);
    if (!rows.ready())
        return;
    for (int k = 0; k < t.list.count(); ++k) {
        const Node &node = *t.list[k];
        if (*trim_option == 0 || node.active != 0) {
            double *row = rows.add(2 * m, node.label);
            if (!row)
                return;
            node.export_row(row);
        }
    }
    *template_count = count;
    rows.hand_on(Templates, NLabels);
}
