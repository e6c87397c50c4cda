// The classification driver.
//
// What it keeps true: every node, the node list, the label block and the
// search's windows are owned (NodeList, HostBlock, unique_ptr) and released
// on every path out; only the labels are handed to the caller, and only on
// success. The host sees its calls in the same order on every path.
#include "perf/run_performance.h"

#include "host/args.h"
#include "host/clock.h"
#include "host/host_block.h"
#include "model/node.h"
#include "model/node_list.h"
#include "model/prepared.h"
#include "model/search.h"
#include "model/search/policy.h"
#include "model/threads.h"
#include "mex.h"

#include <cstdint>
#include <memory>
#include <new>

namespace {

using search_policy::kClassifyWindow;

// Task t makes nodes t * chunk onwards (at most chunk of them) from their
// template rows and copies their bounds into the block; a node the heap
// cannot supply stays null. Nothing is counted here: worker threads never
// call the host.
struct NodeMaking {
    double **templates;
    const double *labels;
    NodeList *nodes;
    NodeBlock *block;
    int count, chunk;
};

void make_nodes(void *context, int task)
{
    const NodeMaking &job = *static_cast<const NodeMaking *>(context);
    const int first = task * job.chunk;
    const int last = job.count - first < job.chunk ? job.count : first + job.chunk;
    for (int k = first; k < last; ++k) {
        Node *node = Node::from_template_uncounted(job.templates[k], truncate_to_int(job.labels[k]));
        job.nodes->fill(k, node);
        if (node)
            job.block->put(k, *node);
    }
}

// All K nodes into the list and the block, with the counts of as many create
// calls as succeed in turn; false when the heap failed (the list then holds
// what was made, and releases it). A large model's nodes are made on the
// search's threads, a run of whole tiles each: tens of thousands of
// allocations and copies are milliseconds on one.
bool make_all_nodes(int K, int M, double **templates, const double *node_labels, NodeList &nodes, NodeBlock &block)
{
    const int threads =
        static_cast<double>(K) * M < search_policy::kThreadedNodeValues ? 1 : block.config().threads;
    if (threads <= 1) {
        for (int k = 0; k < K; ++k) {
            Node *node = Node::create(templates[k], truncate_to_int(node_labels[k]), 1);
            if (!node)
                return false;
            nodes.push(node);
            block.append(*node);  // cannot fail: the room is reserved
        }
        return true;
    }
    if (!block.add_slots(K))
        return false;
    const int tiles = (K + NodeBlock::kTileNodes - 1) / NodeBlock::kTileNodes;
    const int runs = threads * search_policy::kNodeRunsPerThread;
    const int tasks = runs < tiles ? runs : tiles;
    const int chunk = (tiles + tasks - 1) / tasks * NodeBlock::kTileNodes;
    NodeMaking job{templates, node_labels, &nodes, &block, K, chunk};
    run_tasks((K + chunk - 1) / chunk, threads, make_nodes, &job, block.config().team);
    nodes.set_count(K);
    int made = 0;
    while (made < K && nodes[made])
        ++made;
    Node::count_ops(2 * static_cast<std::int64_t>(M) * made, 0);
    return made == K;
}

// Workers started now start while the nodes are made, where the batch's
// search (or the nodes' making) will be shared; null otherwise.
std::unique_ptr<ThreadTeam> start_team(SearchConfig *config, int K, int M, int N)
{
    const double work = static_cast<double>(N) * K * (M > 0 ? M : 1);
    const bool shared = work >= 2 * search_policy::kThreadWork ||
                        static_cast<double>(K) * M >= search_policy::kThreadedNodeValues;
    std::unique_ptr<ThreadTeam> team;
    if (config->threads > 1 && shared) {
        team.reset(new (std::nothrow) ThreadTeam(config->threads));
        config->team = team.get();
    }
    return team;
}

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

// One pass's tallies.
struct Pass {
    int unclassified = 0;
    std::uint32_t comparison_total = 0;
};

// The pass over the N patterns: each labelled by its winner where that
// passes the vigilance test, else `unknown_label`; the winners of a window of
// patterns are searched together, then its console lines printed in order.
Pass classify_patterns(const NodeList &nodes, NodeBlock &block, double threshold, int N, double **patterns,
                       int unknown_label, int oflag, double *labels, int *winners, double *sizes)
{
    Pass pass;
    const std::uint32_t per_pattern = static_cast<std::uint32_t>(nodes.count()) + 1u;
    for (int i = 0; i < N; ++i) {
        const int number = i + 1;
        if (i % kClassifyWindow == 0)
            search_winners(nodes.nodes(), block, patterns + i, N - i < kClassifyWindow ? N - i : kClassifyWindow,
                           winners, sizes);
        if (oflag == 3)
            mexPrintf("   Pattern #%d is being presented\n", number);
        // The search's size is the winner's join_size, bit for bit.
        const int winner = winners[i % kClassifyWindow];
        if (PreparedModel::passes(winner, sizes[i % kClassifyWindow], threshold)) {
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
            ++pass.unclassified;
        }
        add_host_flops(per_pattern);
        pass.comparison_total += per_pattern;
    }
    return pass;
}

}  // namespace

double *run_performance(int K, int M, double **templates, const double *node_labels, double vigilance,
                        int N, double **patterns, int unknown_label, int oflag)
{
    const double threshold = PreparedModel::threshold(vigilance, M);
    add_host_flops(2);
    Node::use_params(classification_params(M));
    Node::count_ops(3, 0);

    SearchConfig config = plugin_search_config();
    const std::unique_ptr<ThreadTeam> team = start_team(&config, K, M, N);
    NodeList nodes;
    if (!nodes.allocate_on_heap(K))
        return nullptr;
    // The call's own prepared model, filled from its nodes: the same search
    // and test as every prepared model's.
    PreparedModel model(M, config);
    NodeBlock &block = model.block();
    if (!block.reserve(K) || !make_all_nodes(K, M, templates, node_labels, nodes, block))
        return nullptr;
    HostBlock<double> labels(N);
    const std::unique_ptr<int[]> winners(new (std::nothrow) int[kClassifyWindow]);
    const std::unique_ptr<double[]> sizes(new (std::nothrow) double[kClassifyWindow]);
    if (!labels || !winners || !sizes)
        return nullptr;
    prepare_winners(block, N);

    const int start = clock_seconds();
    if (oflag >= 2)
        mexPrintf("\nList presentation of %d patterns:\n", N);
    const Pass pass = classify_patterns(nodes, block, threshold, N, patterns, unknown_label, oflag, labels.get(),
                                        winners.get(), sizes.get());
    int active = 0;
    for (int k = 0; k < K; ++k)
        if (nodes[k]->active == 1)
            ++active;
    const int seconds = clock_seconds() - start;
    if (oflag >= 1)
        print_summary(N, K, K - active, pass.unclassified, pass.comparison_total, seconds);
    return labels.release();
}
