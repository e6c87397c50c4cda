// Looking one pattern ahead (training): the pass over the tiles that sizes a
// pattern sizes the next one too, so that the next search sizes only the
// nodes changed or appended since.
//
// What stays true: the sizes kept are pattern ahead_'s with the first
// count_ nodes as they were, except node dirty_ (-1: none), changed since.
// Training changes at most one node between two searches; a change of a
// second node drops the sizes (ahead_ = nullptr), and so does any search that
// was not told of the pattern it searches.
#ifndef QUORV_MODEL_SEARCH_LOOK_AHEAD_H
#define QUORV_MODEL_SEARCH_LOOK_AHEAD_H

#include "model/search/buffer.h"
#include "model/search/kernels.h"
#include "model/search/tiles.h"

class LookAhead {
public:
    // Node k's box has changed.
    void changed(int k)
    {
        if (dirty_ >= 0 && dirty_ != k)
            ahead_ = nullptr;
        dirty_ = k;
    }
    // A search was made some other way: the sizes kept are of no more use.
    void forget() { ahead_ = nullptr; }

    // The winner of `pattern` among the nodes of `tiles` (room for
    // `capacity` tiles), -1 for none: from the sizes looked ahead when they
    // are this pattern's, else over every node, looking ahead at `next` when
    // it is not null (and the memory is there).
    int search(const search_kernels::Kernels &kernels, const TileView &tiles, int capacity, const double *pattern,
               const double *next, double *size);

private:
    int looked_ahead(const search_kernels::Kernels &kernels, const TileView &tiles, const double *pattern,
                     double *size);

    const double *ahead_ = nullptr;
    Buffer<double> sizes_;
    int capacity_ = 0;  // in tiles
    int count_ = 0;
    int dirty_ = -1;
};

#endif
