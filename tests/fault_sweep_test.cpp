// Every allocation of a small training and a small classification call made to
// fail in turn, host blocks and heap blocks alike: each run ends with the
// memory message or succeeds (a missing heap block that only speeds the
// search up changes nothing), and leaves nothing allocated.
//
// Heap faults come from this program's own operator new and delete, which
// replace the library ones for the whole process: the plug-ins import them by
// name, and the dynamic linker finds the program's definitions first. All of
// them go through malloc and free, so a sanitizer's malloc still checks them.
// Under valgrind, which puts its own operators in their place, the heap sweep
// is skipped.
#include "support.h"

#include <gtest/gtest.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace heap {

long countdown = 0;  // the countdown-th nothrow allocation from now on fails
long made = 0;       // nothrow allocations answered since the last reset

// Live nothrow blocks, so that their release can be told from any other.
constexpr int kRoom = 1 << 14;
void *live[kRoom];
int live_count = 0;

void reset(long fail_at)
{
    countdown = fail_at;
    made = 0;
}

// Every heap allocation of the process comes here. Only nothrow ones (all
// that the plug-ins make) are counted and made to fail.
void *allocate(std::size_t size, std::size_t align, bool nothrow) noexcept
{
    if (nothrow && countdown > 0 && --countdown == 0)
        return nullptr;
    if (size == 0)
        size = 1;
    void *p = nullptr;
    if (align <= alignof(std::max_align_t))
        p = std::malloc(size);
    else if (posix_memalign(&p, align, size) != 0)
        p = nullptr;
    if (!p || !nothrow)
        return p;
    if (live_count == kRoom) {
        std::fputs("fault_sweep_test: too many live nothrow blocks\n", stderr);
        std::abort();
    }
    live[live_count++] = p;
    ++made;
    return p;
}

void *allocate_or_throw(std::size_t size, std::size_t align)
{
    if (void *p = allocate(size, align, false))
        return p;
    throw std::bad_alloc();
}

void release(void *p) noexcept
{
    for (int i = live_count - 1; i >= 0; --i)
        if (live[i] == p) {
            live[i] = live[--live_count];
            break;
        }
    std::free(p);
}

constexpr std::size_t kPlain = alignof(std::max_align_t);
std::size_t size_of(std::align_val_t a) { return static_cast<std::size_t>(a); }

}  // namespace heap

// Every variant, so that no block meets a release from another allocator;
// never inlined, so that a tool that replaces them (valgrind) replaces all.
#define HOOK __attribute__((noinline))
HOOK void *operator new(std::size_t n) { return heap::allocate_or_throw(n, heap::kPlain); }
HOOK void *operator new[](std::size_t n) { return heap::allocate_or_throw(n, heap::kPlain); }
HOOK void *operator new(std::size_t n, std::align_val_t a) { return heap::allocate_or_throw(n, heap::size_of(a)); }
HOOK void *operator new[](std::size_t n, std::align_val_t a) { return heap::allocate_or_throw(n, heap::size_of(a)); }
HOOK void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return heap::allocate(n, heap::kPlain, true); }
HOOK void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return heap::allocate(n, heap::kPlain, true); }
HOOK void *operator new(std::size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return heap::allocate(n, heap::size_of(a), true);
}
HOOK void *operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t &) noexcept
{
    return heap::allocate(n, heap::size_of(a), true);
}
HOOK void operator delete(void *p) noexcept { heap::release(p); }
HOOK void operator delete[](void *p) noexcept { heap::release(p); }
HOOK void operator delete(void *p, std::size_t) noexcept { heap::release(p); }
HOOK void operator delete[](void *p, std::size_t) noexcept { heap::release(p); }
HOOK void operator delete(void *p, const std::nothrow_t &) noexcept { heap::release(p); }
HOOK void operator delete[](void *p, const std::nothrow_t &) noexcept { heap::release(p); }
HOOK void operator delete(void *p, std::align_val_t) noexcept { heap::release(p); }
HOOK void operator delete[](void *p, std::align_val_t) noexcept { heap::release(p); }
HOOK void operator delete(void *p, std::size_t, std::align_val_t) noexcept { heap::release(p); }
HOOK void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { heap::release(p); }
HOOK void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { heap::release(p); }
HOOK void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { heap::release(p); }

namespace {

using minihost::CallResult;
using minihost::Plugin;
using qt::A;
using qt::Call;
using qt::S;

struct Case {
    const char *what;
    bool train;  // else classification
    Call call;
    long nodes;  // at least; each takes five heap blocks
};

const Case kCases[] = {
    {"training, full trace", true, {{{8, S(4)}}}, 2},
    {"training, slow learning, trimmed", true, {{{4, S(0.5)}, {7, S(1)}, {8, S(1)}}}, 2},
    {"training, no patterns", true, {{{0, A({0, 4})}, {1, A({0, 1})}}}, 0},
    {"classification, full trace", false, {{{5, S(3)}}}, 4},
    {"classification, no nodes", false, {{{0, A({0, 4})}, {1, A({0, 1})}, {5, S(1)}}}, 0},
};

std::string memory_message(const Case &c)
{
    return std::string(c.train ? "QUORV_TRAIN" : "QUORV_PERF") + ": Not enough memory available; unable to run!";
}

// One call, with the k-th host allocation and the j-th heap allocation failing
// (0: none); checks that it leaves nothing behind.
CallResult run(Plugin &plugin, const Case &c, long host_k, long heap_j)
{
    const long arrays = minihost::live_arrays();
    minihost::reset_host_faults();
    heap::reset(heap_j);
    CallResult result = c.train ? qt::call_train(plugin, c.call, host_k) : qt::call_perf(plugin, c.call, host_k);
    heap::countdown = 0;
    EXPECT_EQ(heap::live_count, 0) << "heap blocks left";
    EXPECT_EQ(minihost::live_blocks(), 0) << "host blocks left";
    long outputs = 0;
    for (const auto &out : result.outputs)
        outputs += out ? 1 : 0;
    EXPECT_EQ(minihost::live_arrays(), arrays + outputs);
    EXPECT_EQ(minihost::host_faults(), 0) << "foreign or double free";
    if (!result.ok) {
        EXPECT_EQ(result.error, memory_message(c));
    }
    return result;
}

bool same_outputs(const CallResult &a, const CallResult &b)
{
    if (a.outputs.size() != b.outputs.size())
        return false;
    for (size_t k = 0; k < a.outputs.size(); ++k)
        if (minihost::dims(a.outputs[k].get()) != minihost::dims(b.outputs[k].get()) ||
            minihost::values(a.outputs[k].get()) != minihost::values(b.outputs[k].get()))
            return false;
    return true;
}

// The console without the line of running totals, which grow call by call.
std::string without_totals(const std::string &console)
{
    std::string kept;
    std::size_t at = 0;
    while (at < console.size()) {
        std::size_t end = console.find('\n', at);
        end = end == std::string::npos ? console.size() : end + 1;
        const std::string line = console.substr(at, end - at);
        if (line.find(" FLOPs and ") == std::string::npos)
            kept += line;
        at = end;
    }
    return kept;
}

std::unique_ptr<Plugin> load(const Case &c) { return c.train ? qt::load_train() : qt::load_perf(); }

TEST(FaultSweep, EachHostAllocationFailingInTurn)
{
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.what);
        auto plugin = load(c);
        ASSERT_TRUE(plugin);
        const auto first = run(*plugin, c, 1, 0);
        EXPECT_FALSE(first.ok);
        EXPECT_EQ(first.console, "");  // nothing runs before the inputs are converted

        long k = 1;
        while (!run(*plugin, c, k, 0).ok) {
            ASSERT_LT(k, 10000);
            if (::testing::Test::HasFailure())
                FAIL() << "host allocation " << k;
            ++k;
        }
        EXPECT_GT(k, 3) << "inputs, outputs and results all come from the host";
    }
}

TEST(FaultSweep, EachHeapAllocationFailingInTurn)
{
    if (RUNNING_ON_VALGRIND)
        GTEST_SKIP() << "valgrind replaces this program's operator new and delete";
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.what);
        auto plugin = load(c);
        ASSERT_TRUE(plugin);
        const auto whole = run(*plugin, c, 0, 0);
        ASSERT_TRUE(whole.ok);
        const long made = heap::made;
        ASSERT_GE(made, 2 * c.nodes) << "the plug-in does not use this program's operator new";
        for (long j = 1; j <= made; ++j) {
            // Blocks that only speed the search up may be missing: the call
            // then gives the same outputs and console (bar the running totals).
            const auto result = run(*plugin, c, 0, j);
            if (result.ok) {
                EXPECT_TRUE(same_outputs(result, whole)) << "heap allocation " << j;
                EXPECT_EQ(without_totals(result.console), without_totals(whole.console)) << "heap allocation " << j;
            }
            if (::testing::Test::HasFailure())
                FAIL() << "heap allocation " << j;
        }
        EXPECT_TRUE(run(*plugin, c, 0, made + 1).ok);
    }
}

TEST(FaultSweep, PluginsAllocateOnlyWhereFailureIsSeen)
{
    // A throwing new would send its exception through the host's frames,
    // which need not survive it; nothrow new answers null instead. The one
    // exception: std::thread makes its state with the plain new, and the
    // worker threads catch its failure (the calling thread does their work).
    for (const char *path : {QUORV_TRAIN_PLUGIN, QUORV_PERF_PLUGIN})
        for (const auto &name : qt::dynamic_symbols(path, false))
            if ((name.rfind("_Znw", 0) == 0 && name != "_Znwm") || name.rfind("_Zna", 0) == 0) {
                EXPECT_NE(name.find("RKSt9nothrow_t"), std::string::npos) << path << " imports " << name;
            }
}

}  // namespace
