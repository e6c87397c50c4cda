// The training driver.
#include "train/run_training.h"

#include "host/args.h"
#include "host/clock.h"
#include "model/node.h"
#include "model/search.h"
#include "mex.h"

#include <cstdint>
#include <limits>

namespace {

// The node list grows geometrically: a new node seldom moves the whole list.
struct NodeList {
    Node **nodes = nullptr;
    int count = 0;
    int capacity = 0;
};

// Adds one slot and a node made from the pattern, and copies its bounds into
// the search block; false when memory ran out.
bool add_node(NodeList *list, NodeBlock *block, const double *pattern, int label)
{
    if (list->count == list->capacity) {
        const int slots = list->capacity == 0 ? 1
                          : list->capacity > std::numeric_limits<int>::max() / 2 ? list->capacity + 1
                                                                                : 2 * list->capacity;
        void *grown = list->nodes ? mxRealloc(list->nodes, static_cast<size_t>(slots) * sizeof(Node *))
                                  : mxCalloc(1, sizeof(Node *));
        if (!grown)
            return false;
        list->nodes = static_cast<Node **>(grown);
        list->capacity = slots;
    }
    if (!block->reserve(list->count + 1))
        return false;
    Node *node = Node::create(pattern, label, 0);
    if (!node)
        return false;
    list->nodes[list->count++] = node;
    block->append(*node);  // cannot fail: the room is reserved
    return true;
}

void release_nodes(NodeList *list)
{
    for (int k = 0; k < list->count; ++k)
        Node::destroy(list->nodes[k]);
    if (list->nodes)
        mxFree(list->nodes);
    list->nodes = nullptr;
    list->count = 0;
    list->capacity = 0;
}

// Allocates at least one element so that a null answer always means failure.
void *host_calloc(int count, size_t size)
{
    return mxCalloc(count > 0 ? static_cast<size_t>(count) : 1, size);
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

    NodeParams &p = Node::params;
    p.M = m;
    p.two_M = 2 * m;
    p.min_size = *min_size;
    p.learning_rate = *learning_rate;
    p.epsilon = *epsilon;
    p.one_minus_rate = 1 - *learning_rate;
    p.eps_over_rate = *epsilon / *learning_rate;
    Node::count_ops(3, 0);
    add_host_flops(3);

    NodeList list;
    NodeBlock block(m, plugin_search_config());
    *list_presentations = 0;
    std::uint32_t comparison_total = 0;
    const int start = clock_seconds();
    const std::int64_t join_flops = 4 * static_cast<std::int64_t>(m) + 1;
    const std::int64_t create_flops = 1 + (*min_size > 0 ? 4 * static_cast<std::int64_t>(m) : 0);
    bool converged = false;
    // Later searches of a pattern build on its earlier ones (time only; on
    // failure every search starts afresh).
    block.remember(n);

    for (;;) {
        int new_nodes = 0;
        int updates = 0;
        ++*list_presentations;
        for (int k = 0; k < list.count; ++k)
            list.nodes[k]->active = 0;
        if (oflag >= 4)
            mexPrintf("\nList presentation #%d:\n", *list_presentations);

        for (int p_index = 0; p_index < n; ++p_index) {
            const int number = p_index + 1;
            const double *pattern = patterns[p_index];
            const double label = labels[p_index];
            const int label_int = truncate_to_int(label);
            if (oflag >= 3)
                mexPrintf("   Pattern #%d is being presented (label %d)\n", number, label_int);

            std::uint32_t comparisons = static_cast<std::uint32_t>(list.count);
            // Besides the joins' own counts, 4M + 1 host flops per join are the
            // driver's. The next pattern is sized in the same pass over the nodes.
            const double *next = p_index + 1 < n ? patterns[p_index + 1] : nullptr;
            const int winner =
                list.count > 0 ? search_winner(list.nodes, block, pattern, join_flops, next, p_index) : -1;
            bool create = true;
            if (winner >= 0) {
                ++comparisons;
                Node *node = list.nodes[winner];
                if (!(node->join_size <= threshold)) {
                    if (oflag == 4)
                        mexPrintf("      Winning Node #%d fails the VT (MFV=%f < rho=%f)\n", winner + 1,
                                  1 - node->join_size / m, *vigilance);
                } else if (label != static_cast<double>(node->label)) {
                    if (oflag == 4)
                        mexPrintf("      Winning Node #%d (label %d) and pattern %d (label %d) of different "
                                  "class labels. Node disqualified. \n",
                                  winner + 1, node->label, number, label_int);
                } else {
                    create = false;
                    const int changed = node->learn();
                    block.refresh(winner, *node);  // learn may have moved the box
                    std::int64_t flops = 1;
                    if (node->growth != 0) {
                        flops += 1;
                        if (*learning_rate < 1)
                            flops += 4 * static_cast<std::int64_t>(m) + (changed ? 8 * static_cast<std::int64_t>(m) : 0);
                    }
                    add_host_flops(flops);
                    node->active = 1;
                    if (changed)
                        ++updates;
                    if (oflag >= 3) {
                        if (changed)
                            mexPrintf("   Pattern #%d updated  node #%d (label %d)", number, winner + 1, node->label);
                        else
                            mexPrintf("   Pattern #%d selected node #%d (label %d), which encodes it.\n", number,
                                      winner + 1, node->label);
                    }
                }
            }
            if (create) {
                if (!add_node(&list, &block, pattern, label_int)) {
                    release_nodes(&list);
                    return;  // *Templates stays null: out of memory
                }
                ++new_nodes;
                add_host_flops(create_flops);
                Node *node = list.nodes[list.count - 1];
                node->active = 1;
                if (oflag >= 3)
                    mexPrintf("   Pattern #%d created  node #%d (label %d).\n", number, list.count, node->label);
            }
            add_host_flops(comparisons);
            comparison_total += comparisons;
        }

        if (oflag == 2)
            mexPrintf("List presentation #%d: %d new nodes created, %d node updates\n", *list_presentations,
                      new_nodes, updates);
        else if (oflag >= 3)
            mexPrintf("   Summary: %d new nodes created, %d node updates\n", new_nodes, updates);

        if (new_nodes == 0 && updates == 0) {
            converged = true;
            --*list_presentations;
            break;
        }
        if (*list_presentations >= *max_list_presentations)
            break;
    }

    int active = 0;
    for (int k = 0; k < list.count; ++k)
        if (list.nodes[k]->active == 1)
            ++active;
    const int inactive = list.count - active;
    const int count = *trim_option == 1 ? active : list.count;
    const int seconds = clock_seconds() - start;
    if (oflag >= 1)
        print_summary(converged, *list_presentations, n, *trim_option, list.count, inactive, count,
                      comparison_total, seconds);

    auto **rows = static_cast<double **>(host_calloc(count, sizeof(double *)));
    auto *row_labels = static_cast<double *>(host_calloc(count, sizeof(double)));
    if (!rows || !row_labels) {
        mxFree(rows);
        mxFree(row_labels);
        release_nodes(&list);
        return;
    }
    int next = 0;
    for (int k = 0; k < list.count; ++k) {
        Node *node = list.nodes[k];
        if (*trim_option == 0 || node->active != 0) {
            double *row = static_cast<double *>(host_calloc(2 * m, sizeof(double)));
            if (!row) {
                for (int r = 0; r < next; ++r)
                    mxFree(rows[r]);
                mxFree(rows);
                mxFree(row_labels);
                release_nodes(&list);
                return;
            }
            node->export_row(row);
            rows[next] = row;
            row_labels[next] = node->label;
            ++next;
        }
    }
    release_nodes(&list);
    *template_count = count;
    *Templates = rows;
    *NLabels = row_labels;
}
