// The host's memory blocks (mxCalloc, mxRealloc, mxFree). Every block handed
// out is known, with its size, until it is freed or the call that made it
// ends; a pointer that is not a live block is never freed. Blocks come zeroed
// and aligned for any type.
//
// Small blocks made during a call are cut in turn from pages the host keeps
// from one call to the next, and all go back when the call ends: a plug-in
// that converts thousands of rows pays a few heap calls rather than thousands,
// and touches no fresh pages, which some virtual machines make slow. A block
// freed during the call gives its room back only when it was the last cut;
// the pages a call may use are capped, past that blocks come from the heap
// as larger ones always do.
#ifndef QUORV_MINIHOST_BLOCKS_H
#define QUORV_MINIHOST_BLOCKS_H

#include "internal.h"

#include <cstddef>
#include <cstdint>

namespace minihost {
namespace host MINIHOST_INTERNAL {

class Blocks {
public:
    Blocks() = default;
    Blocks(const Blocks &) = delete;
    Blocks &operator=(const Blocks &) = delete;
    ~Blocks();

    // A zeroed block of `bytes` (a unique one for none), released when the
    // call ends if `in_call`; null when memory runs out.
    void *make(size_t bytes, bool in_call) noexcept;
    // Whether `p` is a live block.
    bool known(const void *p) const noexcept { return call_.find(p) || outside_.find(p); }
    // The live block `p` moved to `bytes`, its contents kept up to the smaller
    // size; null when memory runs out, `p` then unchanged.
    void *resize(void *p, size_t bytes) noexcept;
    // Frees `p`; false, with nothing freed, when it is not a live block.
    bool release(void *p) noexcept;
    // The call has ended: its blocks are freed, its pages kept for the next
    // call up to a limit.
    void end_call() noexcept;
    // Frees every block but those of a call under way when `keep_call`.
    void release_all(bool keep_call) noexcept;
    size_t live() const noexcept { return call_.count() + outside_.count(); }

private:
    // Open addressing with linear probing; an empty slot has a null address.
    // At most half the slots are full, so that every probe ends.
    class Table {
    public:
        struct Entry {
            void *at;
            size_t bytes;
            bool pooled;  // cut from the pages, not from the heap
        };
        ~Table();
        bool insert(const Entry &e) noexcept;  // false when the table cannot grow
        Entry *find(const void *p) const noexcept;
        void erase(Entry *e) noexcept;
        void free_heap_blocks() noexcept;  // every heap block's memory, not the entries
        void clear() noexcept;
        size_t count() const noexcept { return count_; }

    private:
        size_t home(const void *p) const noexcept;
        bool grow() noexcept;
        Entry *slots_ = nullptr;
        size_t capacity_ = 0;  // zero or a power of two
        unsigned shift_ = 64;
        size_t count_ = 0;
    };

    struct Page {
        char *base;
        size_t size, used;
    };
    Table::Entry *locate(const void *p, Table **table) noexcept;
    void *cut(size_t bytes) noexcept;  // null: no page room, take the heap
    void uncut(Table::Entry &e) noexcept;
    void reset_pages() noexcept;

    Table call_, outside_;
    static constexpr int kMostPages = 16;
    Page pages_[kMostPages] = {};
    int page_count_ = 0, current_ = 0;
    size_t page_bytes_ = 0;  // of all pages
};

}  // namespace host
}  // namespace minihost

#endif
