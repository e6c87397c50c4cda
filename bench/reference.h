// A straightforward form of both commands, kept to measure the plug-ins
// against: one heap object per node with four separately allocated arrays,
// every node joined with every pattern through a counting call per join, the
// node list grown by one slot per node. It trains and classifies as the
// plug-ins do, without console output, and adds the same amounts to the
// host's flop counter, so that its results can be checked against theirs.
#ifndef QUORV_BENCH_REFERENCE_H
#define QUORV_BENCH_REFERENCE_H

#include <cstdint>
#include <vector>

namespace reference {

// Class-wide parameters and counters of the reference nodes.
struct Params {
    int M = 1;
    int two_M = 2;
    double learning_rate = 1.0;
    double min_size = 0.0;
    double eps_over_rate = 1.0;
    double one_minus_rate = 0.0;
    std::uint32_t flop_count = 0;
    std::uint32_t comparison_count = 0;
};

class Node {
public:
    static Params params;

    double *lower;
    double *upper;
    double size;
    double *join_lower;
    double *join_upper;
    double join_size;
    int active;
    int label;
    double growth;

    static Node *create(const double *source, int label, bool from_template);
    static void destroy(Node *node);
    void join(const double *pattern);
    int learn();
    static void count_ops(std::int64_t flops, std::int64_t comparisons);
};

// Adds to the host's flop counter in pieces that fit its int argument.
void add_host_flops(std::int64_t count);

struct Classified {
    std::vector<double> labels;
    std::int64_t join_elements = 0;  // patterns x nodes x features
};

// templates: K rows of 2M values, row-major; patterns: N rows of M values.
Classified classify(const std::vector<double> &templates, const std::vector<double> &node_labels, int K,
                    int M, double vigilance, const std::vector<double> &patterns, int N,
                    double unknown_label);

struct TrainSettings {
    double vigilance = 0.75;
    double min_size = 0.0;
    double learning_rate = 1.0;
    double epsilon = 0.001;
    int max_list_presentations = 100;
};

struct Trained {
    std::vector<double> templates;  // nodes x 2M, row-major (no trimming)
    std::vector<double> labels;
    int presentations = 0;
    std::int64_t searches = 0;       // patterns presented, over all presentations
    std::int64_t join_elements = 0;  // sum over searches of nodes x features
};

Trained train(const std::vector<double> &patterns, const std::vector<double> &labels, int N, int M,
              const TrainSettings &settings);

}  // namespace reference

#endif
