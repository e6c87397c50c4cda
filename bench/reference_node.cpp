// The reference node, compiled apart from the loops that call it, as a node
// class of its own would be.
#include "bench/reference.h"

#include "mex.h"

#include <climits>
#include <new>

namespace reference {

Params Node::params;

void add_host_flops(std::int64_t count)
{
    while (count > INT_MAX) {
        mexAddFlops(INT_MAX);
        count -= INT_MAX;
    }
    if (count > 0)
        mexAddFlops(static_cast<int>(count));
}

void Node::count_ops(std::int64_t flops, std::int64_t comparisons)
{
    params.flop_count += static_cast<std::uint32_t>(flops);
    params.comparison_count += static_cast<std::uint32_t>(comparisons);
    add_host_flops(flops + comparisons);
}

Node *Node::create(const double *source, int label, bool from_template)
{
    const int m = params.M;
    Node *node = new Node;
    node->label = label;
    node->lower = new double[m];
    node->upper = new double[m];
    node->join_lower = new double[m];
    node->join_upper = new double[m];
    if (from_template) {
        node->size = 0.0;
        node->active = 0;
        for (int i = 0; i < m; ++i) {
            node->lower[i] = source[i];
            node->upper[i] = source[m + i];
            node->size += node->upper[i] - node->lower[i];
        }
        count_ops(2 * static_cast<std::int64_t>(m), 0);
        return node;
    }
    node->active = 1;
    count_ops(0, 1);
    if (params.min_size > 0) {
        for (int i = 0; i < m; ++i) {
            node->lower[i] = source[i] - params.min_size / params.two_M;
            node->upper[i] = source[i] + params.min_size / params.two_M;
        }
        node->size = params.min_size;
        count_ops(4 * static_cast<std::int64_t>(m), 0);
    } else {
        for (int i = 0; i < m; ++i)
            node->lower[i] = node->upper[i] = source[i];
        node->size = 0.0;
    }
    return node;
}

void Node::destroy(Node *node)
{
    delete[] node->lower;
    delete[] node->upper;
    delete[] node->join_lower;
    delete[] node->join_upper;
    delete node;
}

void Node::join(const double *pattern)
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
    count_ops(2 * static_cast<std::int64_t>(m) + 1, 2 * static_cast<std::int64_t>(m));
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
    size = 0.0;
    for (int i = 0; i < m; ++i) {
        const double lo_a = params.learning_rate * join_lower[i];
        const double lo_b = params.one_minus_rate * lower[i];
        lower[i] = lo_a + lo_b;
        const double up_a = params.learning_rate * join_upper[i];
        const double up_b = params.one_minus_rate * upper[i];
        upper[i] = up_a + up_b;
    }
    for (int i = 0; i < m; ++i)
        size += upper[i] - lower[i];
    count_ops(8 * static_cast<std::int64_t>(m), 0);
    return 1;
}

}  // namespace reference
