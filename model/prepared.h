// A prepared model: one model's nodes made and its search index built once,
// then any number of pattern blocks classified at any vigilance, with the
// winners and labels a classification call of the plug-in gives (the driver
// in perf/ searches through the same block and applies the same rule).
//
// What stays true:
// - A pattern's label is its winner's when the winner's join size is at most
//   (1 - vigilance) * M, else the unknown label (passes, threshold); labels
//   are the template labels truncated to int as the plug-in does.
// - A prepared model reads no class-wide state: not Node::params, not the
//   host's counters. Its feature count, tiles and kernels are its own, and
//   its search parts take them as values. So different prepared models, of
//   any shapes, may be used from several threads at once; one model serves
//   one call at a time (its groups' scratch is the calling thread's).
// - Threads a call starts end before it returns; nothing runs when nothing
//   is called.
//
// The front ends may use this header (through the quorv_search library),
// nothing else of model/.
#ifndef QUORV_MODEL_PREPARED_H
#define QUORV_MODEL_PREPARED_H

#include "model/search/buffer.h"
#include "model/search/config.h"
#include "model/search/node_block.h"

#include <cstddef>

// Template k's value j is the double at values + k * row_stride + j *
// column_stride (strides in bytes, as the front ends' matrices have them):
// 2M values, M lower bounds then M upper bounds; its label at labels + k *
// label_stride.
struct TemplateView {
    const char *values = nullptr;
    std::ptrdiff_t row_stride = 0, column_stride = 0;
    const char *labels = nullptr;
    std::ptrdiff_t label_stride = 0;
    int count = 0;
};

class PreparedModel {
public:
    // Nodes of m features, searched as `config` says (threads: the most a
    // call uses; its team, when given, is the caller's and outlives it).
    PreparedModel(int m, const SearchConfig &config);
    PreparedModel(const PreparedModel &) = delete;
    PreparedModel &operator=(const PreparedModel &) = delete;

    int features() const { return block_.features(); }
    int count() const { return block_.count(); }
    // The block the classification driver fills from its own nodes.
    NodeBlock &block() { return block_; }

    // The largest join size that passes the vigilance test, and the test.
    static double threshold(double vigilance, int m) { return (1.0 - vigilance) * m; }
    static bool passes(int winner, double size, double threshold) { return winner >= 0 && size <= threshold; }

    // Makes every node of `templates` and builds the search's groups; false
    // when memory ran out (the model is then empty). Only once, on an empty
    // model.
    bool make(const TemplateView &templates);

    // Labels of the n patterns (rows of M values) at `vigilance`, in [0, 1],
    // into labels[0..n-1]: the winner's label where it passes, else
    // `unknown` (truncated to int, as the plug-in does); winners[0..n-1], when
    // given, get the winners (-1: none). On up to `threads` threads (0: the
    // configuration's). nearest[0..n-1], when given, gets the labels at
    // vigilance 0 from the same search (the winner does not depend on the
    // vigilance, only whether it passes). Without `winners`, the search may
    // settle on another node of the winner's label, passing over tiles and
    // groups of one label that cannot change it: the labels are the same.
    // False when memory ran out.
    bool classify(const double *const *patterns, std::size_t n, double vigilance, double unknown, double *labels,
                  int *winners = nullptr, int threads = 0, double *nearest = nullptr);

private:
    NodeBlock block_;
    Buffer<int> labels_;
    // The labels of the groups' tiles and groups, made with them; empty
    // without groups or the memory (searches then find every winner).
    Buffer<int> tile_labels_, group_labels_;
    bool labelled_ = false;
};

#endif
