// The hyperbox node: one learned category, an axis-parallel box with a class
// label, and the class-wide parameters and counters that all nodes share.
#ifndef QUORV_MODEL_NODE_H
#define QUORV_MODEL_NODE_H

#include <cstdint>

// Class-wide parameters of one plug-in; every driver sets all seven of them
// before it makes its first node. The counters are running totals since load.
struct NodeParams {
    int M;
    int two_M;
    double learning_rate;
    double epsilon;
    double min_size;
    double eps_over_rate;
    double one_minus_rate;
    std::uint32_t flop_count;        // wraps modulo 2^32
    std::uint32_t comparison_count;  // wraps modulo 2^32
};

// The seven parameters of a training call: m features and the user's
// min_size, learning_rate and epsilon, with the two derived from them.
// (The counters are left 0: Node::use_params keeps the running ones.)
NodeParams training_params(int m, double min_size, double learning_rate, double epsilon);
// The seven parameters of a classification call of m features: nodes are
// only made from templates and joined, so the rest are fixed.
NodeParams classification_params(int m);

class Node {
public:
    static NodeParams params;
    // Sets the seven parameters of `p` as the class-wide ones, keeping the
    // running counters.
    static void use_params(const NodeParams &p);

    double *lower;
    double *upper;
    double size;
    double *join_lower;  // trial box of the most recent join
    double *join_upper;
    double join_size;
    int active;
    int label;
    double growth;  // join_size - size of the most recent join

    // Builds a node from a template row of 2M values (from_template nonzero)
    // or from a pattern of M values. Null when the heap cannot supply it.
    static Node *create(const double *source, int label, int from_template);
    // create(row, label, 1) without its count_ops, for nodes made on worker
    // threads (which never call the host) and counted by the caller.
    static Node *from_template_uncounted(const double *row, int label);
    // Releases the node with its bound arrays (one block).
    static void destroy(Node *node);

    void join(const double *pattern);
    // join without its count_ops, for a search that counts all its joins at once.
    void join_uncounted(const double *pattern);
    int learn();
    void export_row(double *row) const;

    // Adds to the class-wide counters and passes the sum to the host's counter.
    static void count_ops(std::int64_t flops, std::int64_t comparisons);

    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

private:
    // A node with its label and room for its bounds; null when the heap
    // cannot supply it.
    static Node *allocate(int label);
    Node() = default;
    ~Node() = default;
};

#endif
