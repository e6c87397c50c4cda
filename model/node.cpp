// The hyperbox node and its class-wide parameters.
#include "model/node.h"

#include "host/args.h"

#include <cstddef>
#include <new>

// Load values; min_size and eps_over_rate follow from M and epsilon at load.
NodeParams Node::params = {
    1, 2, 1.0, 0.00001, 2 * 1 * 0.00001, 0.00001 / 1.0, 0.0, 0u, 0u,
};

NodeParams training_params(int m, double min_size, double learning_rate, double epsilon)
{
    NodeParams p{};
    p.M = m;
    p.two_M = 2 * m;
    p.min_size = min_size;
    p.learning_rate = learning_rate;
    p.epsilon = epsilon;
    p.one_minus_rate = 1 - learning_rate;
    p.eps_over_rate = epsilon / learning_rate;
    return p;
}

NodeParams classification_params(int m)
{
    NodeParams p{};
    p.M = m;
    p.two_M = 2 * m;
    p.learning_rate = 1.0;
    p.epsilon = 1.0;
    p.min_size = 0.0;
    p.eps_over_rate = 1.0;
    p.one_minus_rate = 0.0;
    return p;
}

void Node::use_params(const NodeParams &p)
{
    const std::uint32_t flops = params.flop_count, comparisons = params.comparison_count;
    params = p;
    params.flop_count = flops;
    params.comparison_count = comparisons;
}

// The node and its four bound arrays share one block: a model of many nodes
// is made and freed with a fifth of the heap calls, and read from one place.
constexpr std::size_t kBoundsAt = (sizeof(Node) + alignof(double) - 1) / alignof(double) * alignof(double);

Node *Node::allocate(int label)
{
    const int m = params.M;
    void *block = ::operator new(kBoundsAt + 4 * sizeof(double) * static_cast<std::size_t>(m > 0 ? m : 0),
                                 std::nothrow);
    if (!block)
        return nullptr;
    Node *node = new (block) Node;
    node->label = label;
    double *bounds = reinterpret_cast<double *>(static_cast<char *>(block) + kBoundsAt);
    node->lower = bounds;
    node->upper = bounds + m;
    node->join_lower = bounds + 2 * m;
    node->join_upper = bounds + 3 * m;
    return node;
}

Node *Node::create(const double *source, int label, int from_template)
{
    if (from_template) {
        Node *node = from_template_uncounted(source, label);
        if (node)
            count_ops(2 * static_cast<std::int64_t>(params.M), 0);
        return node;
    }
    Node *node = allocate(label);
    if (!node)
        return nullptr;
    const int m = params.M;
    node->active = 1;
    count_ops(0, 1);
    if (params.min_size > 0) {
        for (int i = 0; i < m; ++i) {
            node->lower[i] = source[i] - params.min_size / params.two_M;
            node->upper[i] = source[i] + params.min_size / params.two_M;
        }
        // The parameter itself, not the sum of the widths.
        node->size = params.min_size;
        count_ops(4 * static_cast<std::int64_t>(m), 0);
    } else {
        for (int i = 0; i < m; ++i) {
            node->lower[i] = source[i];
            node->upper[i] = source[i];
        }
        node->size = 0.0;
    }
    return node;
}

Node *Node::from_template_uncounted(const double *row, int label)
{
    Node *node = allocate(label);
    if (!node)
        return nullptr;
    const int m = params.M;
    node->size = 0.0;
    node->active = 0;
    for (int i = 0; i < m; ++i) {
        node->lower[i] = row[i];
        node->upper[i] = row[m + i];
        node->size += node->upper[i] - node->lower[i];
    }
    return node;
}

void Node::destroy(Node *node)
{
    if (!node)
        return;
    node->~Node();
    ::operator delete(node);  // the block of the node and its arrays
}

void Node::join(const double *pattern)
{
    join_uncounted(pattern);
    count_ops(2 * static_cast<std::int64_t>(params.M) + 1, 2 * static_cast<std::int64_t>(params.M));
}

void Node::join_uncounted(const double *pattern)
{
    const int m = params.M;
    join_size = 0.0;
    for (int i = 0; i < m; ++i) {
        const double x = pattern[i];
        join_lower[i] = x > lower[i] ? lower[i] : x;
        join_upper[i] = x >= upper[i] ? x : upper[i];
        join_size += join_upper[i] - join_lower[i];
    }
    growth = join_size - size;
}

int Node::learn()
{
    active = 1;
    count_ops(0, 1);
    if (!(growth > 0))
        return 0;
    count_ops(0, 1);
    const int m = params.M;
    if (params.learning_rate == 1.0) {
        for (int i = 0; i < m; ++i) {
            lower[i] = join_lower[i];
            upper[i] = join_upper[i];
        }
        size = join_size;
        return 1;
    }

    // Move only when some bound would travel further than the tolerance;
    // every feature is tested.
    int moves = 0;
    for (int i = 0; i < m; ++i) {
        if (lower[i] - join_lower[i] > params.eps_over_rate)
            moves = 1;
        if (join_upper[i] - upper[i] > params.eps_over_rate)
            moves = 1;
    }
    count_ops(2 * static_cast<std::int64_t>(m), 2 * static_cast<std::int64_t>(m));
    if (!moves)
        return 0;

    const double rate = params.learning_rate;
    const double keep = params.one_minus_rate;
    size = 0.0;
    for (int i = 0; i < m; ++i) {
        const double new_lower_a = rate * join_lower[i];
        const double new_lower_b = keep * lower[i];
        lower[i] = new_lower_a + new_lower_b;
        const double new_upper_a = rate * join_upper[i];
        const double new_upper_b = keep * upper[i];
        upper[i] = new_upper_a + new_upper_b;
    }
    for (int i = 0; i < m; ++i)
        size += upper[i] - lower[i];
    count_ops(8 * static_cast<std::int64_t>(m), 0);
    return 1;
}

void Node::export_row(double *row) const
{
    const int m = params.M;
    for (int i = 0; i < m; ++i) {
        row[i] = lower[i];
        row[m + i] = upper[i];
    }
}

void Node::count_ops(std::int64_t flops, std::int64_t comparisons)
{
    // Plain 32-bit additions that wrap, as the counters are printed.
    params.flop_count += static_cast<std::uint32_t>(static_cast<std::uint64_t>(flops));
    params.comparison_count += static_cast<std::uint32_t>(static_cast<std::uint64_t>(comparisons));
    add_host_flops(flops + comparisons);
}
