// The host's memory blocks (see blocks.h).
#include "blocks.h"

#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define MINIHOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MINIHOST_ASAN 1
#endif
#endif
#ifdef MINIHOST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace minihost {
namespace host MINIHOST_INTERNAL {

namespace {

// Blocks of up to this many bytes are cut from the pages (a row of 1,024 doubles).
constexpr size_t kPooledMost = 8192;
// The first page, and the most any one page grows to (each new page doubles the last).
constexpr size_t kFirstPage = size_t{1} << 18;
constexpr size_t kLargestPage = size_t{1} << 24;
// The most page memory one call may use, and the most kept for the next.
constexpr size_t kPagesMost = size_t{1} << 26;
constexpr size_t kPagesKept = size_t{1} << 23;
// Alignment for any type.
constexpr size_t kAlign = 16;

#ifdef MINIHOST_ASAN
// Unaddressable bytes after each cut block, so that overruns are caught as on the heap.
constexpr size_t kRedZone = kAlign;
void poison(const void *p, size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }
void unpoison(const void *p, size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
constexpr size_t kRedZone = 0;
void poison(const void *, size_t) {}
void unpoison(const void *, size_t) {}
#endif

// Room taken in a page by a block of `bytes`: some for none, so that each block is unique.
size_t room(size_t bytes) { return (bytes ? (bytes + kAlign - 1) / kAlign * kAlign : kAlign) + kRedZone; }

}  // namespace

// ---- the table ----

Blocks::Table::~Table() { std::free(slots_); }

size_t Blocks::Table::home(const void *p) const noexcept {
    // Blocks lie at least kAlign apart; the multiply spreads their addresses.
    const std::uint64_t key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)) / kAlign;
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
}

bool Blocks::Table::grow() noexcept {
    const size_t capacity = capacity_ ? 2 * capacity_ : 64;
    auto *slots = static_cast<Entry *>(std::calloc(capacity, sizeof(Entry)));
    if (!slots) return false;
    Entry *old = slots_;
    const size_t old_capacity = capacity_;
    slots_ = slots;
    capacity_ = capacity;
    shift_ = old_capacity ? shift_ - 1 : 64 - 6;  // home() answers log2(capacity) bits
    for (size_t i = 0; i < old_capacity; ++i) {
        if (!old[i].at) continue;
        size_t j = home(old[i].at);
        while (slots_[j].at) j = (j + 1) & (capacity_ - 1);
        slots_[j] = old[i];
    }
    std::free(old);
    return true;
}

bool Blocks::Table::insert(const Entry &e) noexcept {
    if (2 * (count_ + 1) > capacity_ && !grow()) return false;
    size_t i = home(e.at);
    while (slots_[i].at) i = (i + 1) & (capacity_ - 1);
    slots_[i] = e;
    ++count_;
    return true;
}

Blocks::Table::Entry *Blocks::Table::find(const void *p) const noexcept {
    if (!p || count_ == 0) return nullptr;
    for (size_t i = home(p);; i = (i + 1) & (capacity_ - 1)) {
        if (slots_[i].at == p) return slots_ + i;
        if (!slots_[i].at) return nullptr;
    }
}

void Blocks::Table::erase(Entry *e) noexcept {
    // Later entries of the same run move back into the hole when their home
    // does not lie after it, so that no probe stops short of them.
    const size_t mask = capacity_ - 1;
    size_t hole = static_cast<size_t>(e - slots_);
    for (size_t j = (hole + 1) & mask; slots_[j].at; j = (j + 1) & mask) {
        const size_t k = home(slots_[j].at);
        const bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
        if (stays) continue;
        slots_[hole] = slots_[j];
        hole = j;
    }
    slots_[hole] = Entry{};
    --count_;
}

void Blocks::Table::free_heap_blocks() noexcept {
    for (size_t i = 0; count_ > 0 && i < capacity_; ++i)
        if (slots_[i].at && !slots_[i].pooled) std::free(slots_[i].at);
}

void Blocks::Table::clear() noexcept {
    if (count_ > 0) std::memset(slots_, 0, capacity_ * sizeof(Entry));
    count_ = 0;
}

// ---- the pages ----

void *Blocks::cut(size_t bytes) noexcept {
    if (bytes > kPooledMost) return nullptr;
    const size_t need = room(bytes);
    int at = current_;
    while (at < page_count_ && pages_[at].size - pages_[at].used < need) ++at;
    if (at == page_count_) {
        const size_t last = page_count_ ? pages_[page_count_ - 1].size : 0;
        const size_t size = last ? (2 * last < kLargestPage ? 2 * last : kLargestPage) : kFirstPage;
        if (page_count_ == kMostPages || page_bytes_ + size > kPagesMost) return nullptr;
        auto *base = static_cast<char *>(std::malloc(size));
        if (!base) return nullptr;
        poison(base, size);
        pages_[page_count_++] = Page{base, size, 0};
        page_bytes_ += size;
    }
    current_ = at;
    Page &page = pages_[at];
    char *p = page.base + page.used;
    page.used += need;
    unpoison(p, need - kRedZone);
    std::memset(p, 0, need - kRedZone);
    return p;
}

void Blocks::uncut(Table::Entry &e) noexcept {
    const size_t need = room(e.bytes);
    poison(e.at, need - kRedZone);
    // The last block cut gives its room back at once.
    if (current_ >= page_count_) return;
    Page &page = pages_[current_];
    if (static_cast<char *>(e.at) + need == page.base + page.used) page.used -= need;
}

void Blocks::reset_pages() noexcept {
    size_t kept = 0;
    int pages = 0;
    for (int i = 0; i < page_count_; ++i) {
        Page &page = pages_[i];
        if (kept + page.size <= kPagesKept) {
            kept += page.size;
            page.used = 0;
            poison(page.base, page.size);
            pages_[pages++] = page;
        } else {
            unpoison(page.base, page.size);
            std::free(page.base);
        }
    }
    page_count_ = pages;
    page_bytes_ = kept;
    current_ = 0;
}

// ---- blocks ----

Blocks::~Blocks() {
    release_all(false);
    reset_pages();
}

void *Blocks::make(size_t bytes, bool in_call) noexcept {
    Table &table = in_call ? call_ : outside_;
    void *p = in_call ? cut(bytes) : nullptr;
    const bool pooled = p != nullptr;
    // Zero bytes still answer a unique block, as the caller may compare or free it.
    if (!p) p = std::calloc(bytes ? bytes : 1, 1);
    if (!p) return nullptr;
    Table::Entry e{p, bytes, pooled};
    if (!table.insert(e)) {
        if (pooled)
            uncut(e);
        else
            std::free(p);
        return nullptr;
    }
    return p;
}

Blocks::Table::Entry *Blocks::locate(const void *p, Table **table) noexcept {
    if (Table::Entry *e = call_.find(p)) {
        *table = &call_;
        return e;
    }
    *table = &outside_;
    return outside_.find(p);
}

void *Blocks::resize(void *p, size_t bytes) noexcept {
    Table *table = nullptr;
    Table::Entry *e = locate(p, &table);
    if (!e) return nullptr;
    if (!e->pooled) {
        void *q = std::realloc(p, bytes ? bytes : 1);
        if (!q) return nullptr;
        const Table::Entry moved{q, bytes, false};
        table->erase(e);
        table->insert(moved);  // cannot fail: an entry was just erased
        return q;
    }
    const size_t old_bytes = e->bytes;
    void *q = make(bytes, table == &call_);
    if (!q) return nullptr;
    std::memcpy(q, p, old_bytes < bytes ? old_bytes : bytes);
    release(p);
    return q;
}

bool Blocks::release(void *p) noexcept {
    Table *table = nullptr;
    Table::Entry *e = locate(p, &table);
    if (!e) return false;
    if (e->pooled)
        uncut(*e);
    else
        std::free(p);
    table->erase(e);
    return true;
}

void Blocks::end_call() noexcept {
    call_.free_heap_blocks();
    call_.clear();
    reset_pages();
}

void Blocks::release_all(bool keep_call) noexcept {
    outside_.free_heap_blocks();
    outside_.clear();
    if (!keep_call) end_call();
}

}  // namespace host
}  // namespace minihost
