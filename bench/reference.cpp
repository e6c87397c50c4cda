// The straightforward training and classification loops.
#include "bench/reference.h"

#include <cmath>
#include <cstdlib>
#include <new>

namespace reference {

namespace {

int truncate_to_int(double value)
{
    if (!(std::fabs(value) < 9223372036854775808.0))
        return 0;
    const auto wide = static_cast<std::int64_t>(value);
    return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
}

}  // namespace

Classified classify(const std::vector<double> &templates, const std::vector<double> &node_labels, int K,
                    int M, double vigilance, const std::vector<double> &patterns, int N,
                    double unknown_label)
{
    Classified out;
    const double threshold = (1.0 - vigilance) * M;
    add_host_flops(2);
    Params &p = Node::params;
    p.M = M;
    p.two_M = 2 * M;
    p.learning_rate = 1.0;
    p.min_size = 0.0;
    p.eps_over_rate = 1.0;
    p.one_minus_rate = 0.0;
    Node::count_ops(3, 0);

    std::vector<Node *> nodes(static_cast<size_t>(K));
    for (int k = 0; k < K; ++k)
        nodes[k] = Node::create(&templates[static_cast<size_t>(k) * 2 * M], truncate_to_int(node_labels[k]), true);

    out.labels.resize(static_cast<size_t>(N));
    for (int i = 0; i < N; ++i) {
        const double *x = &patterns[static_cast<size_t>(i) * M];
        double best = M;
        int winner = -1;
        for (int k = 0; k < K; ++k) {
            nodes[k]->join(x);
            if (nodes[k]->join_size < best) {
                winner = k;
                best = nodes[k]->join_size;
            }
        }
        if (winner >= 0 && nodes[winner]->join_size <= threshold) {
            out.labels[i] = nodes[winner]->label;
            nodes[winner]->active = 1;
        } else {
            out.labels[i] = unknown_label;
        }
        add_host_flops(static_cast<std::int64_t>(K) + 1);
        out.join_elements += static_cast<std::int64_t>(K) * M;
    }
    for (Node *node : nodes)
        Node::destroy(node);
    return out;
}

Trained train(const std::vector<double> &patterns, const std::vector<double> &labels, int N, int M,
              const TrainSettings &settings)
{
    Trained out;
    const double threshold = (1 - settings.vigilance) * M;
    add_host_flops(2);
    Params &p = Node::params;
    p.M = M;
    p.two_M = 2 * M;
    p.min_size = settings.min_size;
    p.learning_rate = settings.learning_rate;
    p.one_minus_rate = 1 - settings.learning_rate;
    p.eps_over_rate = settings.epsilon / settings.learning_rate;
    Node::count_ops(3, 0);
    add_host_flops(3);

    Node **nodes = nullptr;
    int count = 0;
    const std::int64_t per_join = 4 * static_cast<std::int64_t>(M) + 1;
    for (;;) {
        int new_nodes = 0;
        int updates = 0;
        ++out.presentations;
        for (int k = 0; k < count; ++k)
            nodes[k]->active = 0;
        for (int n = 0; n < N; ++n) {
            const double *x = &patterns[static_cast<size_t>(n) * M];
            const double label = labels[n];
            std::int64_t comparisons = count;
            double best = M;
            int winner = -1;
            for (int k = 0; k < count; ++k) {
                Node *node = nodes[k];
                node->join(x);
                add_host_flops(per_join);
                if (node->join_size < best) {
                    winner = k;
                    best = node->join_size;
                }
            }
            ++out.searches;
            out.join_elements += static_cast<std::int64_t>(count) * M;
            bool create = true;
            if (winner >= 0) {
                ++comparisons;
                Node *node = nodes[winner];
                if (node->join_size <= threshold && label == static_cast<double>(node->label)) {
                    create = false;
                    const int changed = node->learn();
                    std::int64_t flops = 1;
                    if (node->growth != 0) {
                        flops += 1;
                        if (settings.learning_rate < 1)
                            flops += 4 * static_cast<std::int64_t>(M) + (changed ? 8 * static_cast<std::int64_t>(M) : 0);
                    }
                    add_host_flops(flops);
                    node->active = 1;
                    if (changed)
                        ++updates;
                }
            }
            if (create) {
                void *grown = std::realloc(nodes, static_cast<size_t>(count + 1) * sizeof(Node *));
                if (!grown)
                    throw std::bad_alloc();
                nodes = static_cast<Node **>(grown);
                nodes[count++] = Node::create(x, truncate_to_int(label), false);
                ++new_nodes;
                add_host_flops(1 + (settings.min_size > 0 ? 4 * static_cast<std::int64_t>(M) : 0));
            }
            add_host_flops(comparisons);
        }
        if (new_nodes == 0 && updates == 0) {
            --out.presentations;
            break;
        }
        if (out.presentations >= settings.max_list_presentations)
            break;
    }

    for (int k = 0; k < count; ++k) {
        for (int i = 0; i < M; ++i)
            out.templates.push_back(nodes[k]->lower[i]);
        for (int i = 0; i < M; ++i)
            out.templates.push_back(nodes[k]->upper[i]);
        out.labels.push_back(nodes[k]->label);
        Node::destroy(nodes[k]);
    }
    std::free(nodes);
    return out;
}

}  // namespace reference
