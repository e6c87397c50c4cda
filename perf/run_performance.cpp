// The classification driver.
#include "perf/run_performance.h"

#include "host/args.h"
#include "host/clock.h"
#include "model/node.h"
#include "model/search.h"
#include "model/search/policy.h"
#include "model/threads.h"
#include "mex.h"

#include <cstdint>
#include <memory>
#include <new>

namespace {

void release_nodes(Node **nodes, int count)
{
    for (int k = 0; k < count; ++k)
        Node::destroy(nodes[k]);
    delete[] nodes;
}

// Below this many template values the nodes are made on the calling thread.
constexpr double kThreadedNodes = 1 << 16;

// Task t makes nodes t * chunk onwards (at most chunk of them) from their
// template rows and copies their bounds into the block; a node the heap
// cannot supply stays null. Nothing is counted here: worker threads never
// call the host.
struct NodeMaking {
    double **templates;
    const double *labels;
    Node **nodes;
    NodeBlock *block;
    int count, chunk;
};

void make_nodes(void *context, int task)
{
    const NodeMaking &job = *static_cast<const NodeMaking *>(context);
    const int first = task * job.chunk;
    const int last = job.count - first < job.chunk ? job.count : first + job.chunk;
    for (int k = first; k < last; ++k) {
        job.nodes[k] = Node::from_template_uncounted(job.templates[k], truncate_to_int(job.labels[k]));
        if (job.nodes[k])
            job.block->put(k, *job.nodes[k]);
    }
}

// All K nodes, in the block too, with the counts of as many create calls as
// succeed in turn; false, with the nodes released, when the heap failed.
// A large model's nodes are made on the search's threads, a run of whole
// tiles each: tens of thousands of allocations and copies are milliseconds
// on one.
bool make_all_nodes(int K, int M, double **templates, const double *node_labels, Node **nodes, NodeBlock &block)
{
    const int threads = static_cast<double>(K) * M < kThreadedNodes ? 1 : block.config().threads;
    if (threads <= 1) {
        for (int k = 0; k < K; ++k) {
            nodes[k] = Node::create(templates[k], truncate_to_int(node_labels[k]), 1);
            if (!nodes[k]) {
                release_nodes(nodes, k);
                return false;
            }
            block.append(*nodes[k]);  // cannot fail: the room is reserved
        }
        return true;
    }
    if (!block.add_slots(K)) {
        delete[] nodes;
        return false;
    }
    const int tiles = (K + NodeBlock::kTileNodes - 1) / NodeBlock::kTileNodes;
    const int tasks = threads * 4 < tiles ? threads * 4 : tiles;
    const int chunk = (tiles + tasks - 1) / tasks * NodeBlock::kTileNodes;
    NodeMaking job{templates, node_labels, nodes, &block, K, chunk};
    run_tasks((K + chunk - 1) / chunk, threads, make_nodes, &job, block.config().team);
    int made = 0;
    while (made < K && nodes[made])
        ++made;
    Node::count_ops(2 * static_cast<std::int64_t>(M) * made, 0);
    if (made < K) {
        release_nodes(nodes, K);
        return false;
    }
    return true;
}

// Nodes never change here: the winners of this many patterns are searched
// together (shared among threads), before their console lines are printed in
// order by this thread.
constexpr int kWindow = 8192;

void print_summary(int n, int k, int inactive, int unclassified, std::uint32_t comparison_total, int seconds)
{
    mexPrintf("\nQuorv performance phase summary\n");
    mexPrintf("Test set contained %d test patterns\n", n);
    mexPrintf(inactive == 1 ? "%d inactive node detected " : "%d inactive nodes detected ", inactive);
    // No templates: nothing is inactive, rather than 0/0.
    mexPrintf("(%f%%)\n", k > 0 ? inactive * 100.0 / k : 0.0);
    if (unclassified != 0) {
        mexPrintf("unable to classify %d patterns ", unclassified);
        mexPrintf("(%f%%)\n", unclassified * 100.0 / n);
    }
    mexPrintf("%lu FLOPs and %lu comparisons in %d seconds\n\n", counter_arg(Node::params.flop_count + 2u),
              counter_arg(Node::params.comparison_count + comparison_total), seconds);
}

}  // namespace

double *run_performance(int K, int M, double **templates, const double *node_labels, double vigilance,
                        int N, double **patterns, int unknown_label, int oflag)
{
    const double threshold = (1.0 - vigilance) * M;
    add_host_flops(2);

    NodeParams &p = Node::params;
    p.M = M;
    p.two_M = 2 * M;
    p.learning_rate = 1.0;
    p.epsilon = 1.0;
    p.min_size = 0.0;
    p.eps_over_rate = 1.0;
    p.one_minus_rate = 0.0;
    Node::count_ops(3, 0);

    // Workers started now start while the nodes are made, where the batch's
    // search (or the nodes' making) will be shared.
    SearchConfig config = plugin_search_config();
    std::unique_ptr<ThreadTeam> team;
    const double work = static_cast<double>(N) * K * (M > 0 ? M : 1);
    const bool shared = work >= 2 * search_policy::kThreadWork || static_cast<double>(K) * M >= kThreadedNodes;
    if (config.threads > 1 && shared) {
        team.reset(new (std::nothrow) ThreadTeam(config.threads));
        config.team = team.get();
    }
    Node **nodes = new (std::nothrow) Node *[K > 0 ? K : 1];
    if (!nodes)
        return nullptr;
    NodeBlock block(M, config);
    if (!block.reserve(K)) {
        release_nodes(nodes, 0);
        return nullptr;
    }
    if (!make_all_nodes(K, M, templates, node_labels, nodes, block))
        return nullptr;
    auto *labels = static_cast<double *>(mxCalloc(N > 0 ? static_cast<size_t>(N) : 1, sizeof(double)));
    int *winners = new (std::nothrow) int[kWindow];
    double *sizes = new (std::nothrow) double[kWindow];
    if (!labels || !winners || !sizes) {
        mxFree(labels);
        delete[] winners;
        delete[] sizes;
        release_nodes(nodes, K);
        return nullptr;
    }
    prepare_winners(block, N);

    const int start = clock_seconds();
    if (oflag >= 2)
        mexPrintf("\nList presentation of %d patterns:\n", N);

    int unclassified = 0;
    std::uint32_t comparison_total = 0;
    const std::uint32_t per_pattern = static_cast<std::uint32_t>(K) + 1u;
    for (int i = 0; i < N; ++i) {
        const int number = i + 1;
        if (i % kWindow == 0)
            search_winners(nodes, block, patterns + i, N - i < kWindow ? N - i : kWindow, winners, sizes);
        if (oflag == 3)
            mexPrintf("   Pattern #%d is being presented\n", number);
        // The search's size is the winner's join_size, bit for bit.
        const int winner = winners[i % kWindow];
        if (winner >= 0 && sizes[i % kWindow] <= threshold) {
            Node *node = nodes[winner];
            labels[i] = node->label;
            node->active = 1;
            if (oflag >= 2)
                mexPrintf("   Pattern #%d selected by node #%d and classified as '%d'\n", number, winner + 1,
                          node->label);
        } else {
            if (oflag >= 2)
                mexPrintf("   Pattern #%d could not be classified\n", number);
            labels[i] = unknown_label;
            ++unclassified;
        }
        add_host_flops(per_pattern);
        comparison_total += per_pattern;
    }

    int active = 0;
    for (int k = 0; k < K; ++k)
        if (nodes[k]->active == 1)
            ++active;
    const int inactive = K - active;
    const int seconds = clock_seconds() - start;
    if (oflag >= 1)
        print_summary(N, K, inactive, unclassified, comparison_total, seconds);
    delete[] winners;
    delete[] sizes;
    release_nodes(nodes, K);
    return labels;
}
