// Blocks of host memory owned by the code that asked for them: released with
// mxFree when the owner goes, unless handed on (release) to whoever returns
// them to the host. Nothing is freed by hand, and the host sees the same
// calls as before: one mxCalloc per block, one mxFree per block not handed
// on (also of a null block, as a failed request is given back too).
#ifndef QUORV_HOST_HOST_BLOCK_H
#define QUORV_HOST_HOST_BLOCK_H

#include "mex.h"

#include <cstddef>
#include <utility>

template <typename T>
class HostBlock {
public:
    HostBlock() = default;
    // `count` zeroed elements from mxCalloc, at least one so that null
    // always means that the memory ran out.
    explicit HostBlock(int count)
        : data_(static_cast<T *>(mxCalloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(T)))), owned_(true)
    {
    }
    ~HostBlock()
    {
        if (owned_)
            mxFree(data_);
    }
    HostBlock(HostBlock &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), owned_(std::exchange(other.owned_, false))
    {
    }
    HostBlock(const HostBlock &) = delete;
    HostBlock &operator=(const HostBlock &) = delete;
    HostBlock &operator=(HostBlock &&) = delete;

    explicit operator bool() const { return data_ != nullptr; }
    T *get() const { return data_; }
    T &operator[](std::size_t i) const { return data_[i]; }
    // Hands the block on: the caller now owns it.
    T *release()
    {
        owned_ = false;
        return data_;
    }

private:
    T *data_ = nullptr;
    bool owned_ = false;
};

// Rows of doubles and a label for each, written one after another: the rows
// array and the labels from mxCalloc at once, each row when it is added.
// Released unless handed on: the rows added, the rows array, the labels,
// in that order.
class HostRows {
public:
    // Room for `count` rows and labels (at least one of each).
    explicit HostRows(int count)
        : rows_(static_cast<double **>(mxCalloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(double *)))),
          labels_(static_cast<double *>(mxCalloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(double))))
    {
    }
    ~HostRows()
    {
        if (!owned_)
            return;
        for (int r = 0; r < made_; ++r)
            mxFree(rows_[r]);
        mxFree(rows_);
        mxFree(labels_);
    }
    HostRows(const HostRows &) = delete;
    HostRows &operator=(const HostRows &) = delete;

    // Whether the rows array and the labels were given.
    bool ready() const { return rows_ && labels_; }
    // The next row, of `width` zeroed doubles (at least one), with its label;
    // null when memory ran out.
    double *add(int width, double label)
    {
        double *row = static_cast<double *>(mxCalloc(width > 0 ? static_cast<size_t>(width) : 1, sizeof(double)));
        if (!row)
            return nullptr;
        rows_[made_] = row;
        labels_[made_] = label;
        ++made_;
        return row;
    }
    // Hands the rows and labels on: the caller now owns them.
    void hand_on(double ***rows, double **labels)
    {
        owned_ = false;
        *rows = rows_;
        *labels = labels_;
    }

private:
    double **rows_;
    double *labels_;
    int made_ = 0;
    bool owned_ = true;
};

#endif
