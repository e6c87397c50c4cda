// The thread count and the task runner of the search.
#include "model/threads.h"

#include "model/search/grouping.h"
#include "model/search/policy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Environment {
    ~Environment()
    {
        unsetenv("QUORV_THREADS");
    }
};

// QUORV_THREADS caps the cores; anything but a whole number >= 1 means all.
TEST(Threads, QuorvThreadsCapsTheProcessorCount)
{
    Environment restore;
    const int cores = processor_threads();
    ASSERT_GE(cores, 1);
    struct {
        const char *value;
        int want;
    } const cases[] = {
        {"1", 1}, {"2", cores < 2 ? cores : 2}, {"100000", cores}, {" 1", 1}, {"1 ", 1},
        {"0", cores}, {"-3", cores}, {"", cores}, {"two", cores}, {"1.5", cores}, {"2x", cores},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(setenv("QUORV_THREADS", c.value, 1), 0);
        EXPECT_EQ(search_threads(), c.want) << "QUORV_THREADS='" << c.value << "'";
    }
    unsetenv("QUORV_THREADS");
    EXPECT_EQ(search_threads(), cores);
}

// Every task runs exactly once, whatever the number of threads asked for.
TEST(Threads, EveryTaskRunsOnce)
{
    for (int tasks : {0, 1, 2, 7, 64})
        for (int threads : {1, 2, 3, 100}) {
            std::vector<std::atomic<int>> runs(static_cast<size_t>(tasks));
            run_tasks(tasks, threads, [](void *context, int index) {
                (*static_cast<std::vector<std::atomic<int>> *>(context))[static_cast<size_t>(index)]++;
            }, &runs);
            for (int t = 0; t < tasks; ++t)
                EXPECT_EQ(runs[static_cast<size_t>(t)].load(), 1) << tasks << " tasks, " << threads << " threads";
        }
}

struct Record {
    std::vector<std::atomic<int>> runs;
    std::mutex lock;
    std::set<std::thread::id> threads;
    explicit Record(int tasks) : runs(static_cast<size_t>(tasks)) {}
};

void record(void *context, int index)
{
    auto &r = *static_cast<Record *>(context);
    r.runs[static_cast<size_t>(index)]++;
    std::this_thread::sleep_for(std::chrono::microseconds(50));  // long enough for every thread to take some
    std::lock_guard<std::mutex> hold(r.lock);
    r.threads.insert(std::this_thread::get_id());
}

// A team serves run after run, also once its workers have gone to sleep
// between them: every task once, on no more threads than asked for, and
// threads to spare where it has no workers.
TEST(Threads, ATeamRunsEveryTaskOnceRunAfterRun)
{
    for (int size : {1, 2, 3, 5}) {
        ThreadTeam team(size);
        EXPECT_LE(team.workers(), size - 1);
        int round = 0;
        for (int tasks : {0, 1, 2, 7, 64, 300})
            for (int threads : {1, 2, 3, 100}) {
                if (++round % 9 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));  // workers asleep
                Record r(tasks);
                run_tasks(tasks, threads, record, &r, &team);
                for (int t = 0; t < tasks; ++t)
                    EXPECT_EQ(r.runs[static_cast<size_t>(t)].load(), 1)
                        << "team of " << size << ", " << tasks << " tasks, " << threads << " threads";
                EXPECT_LE(static_cast<int>(r.threads.size()), threads);
            }
    }
}

// The patterns' k-d order made with its first split's halves on two threads
// is the order one thread makes: below and above the size that splits,
// with patterns that are not finite, with points all alike (a split that
// cannot part them) and few features; on threads of its own and on a team.
TEST(Threads, PatternsOrderedOnTwoThreadsAsOnOne)
{
    struct Case {
        int n, m;
        bool alike;
        std::vector<int> not_finite;
    };
    const int from = search_policy::kParallelOrderFrom;
    const std::vector<Case> cases = {
        {100, 4, false, {}},          {from - 1, 16, false, {}}, {from, 16, false, {}},
        {from + 7, 3, false, {0, 9}}, {20000, 16, false, {5}},   {9000, 1, false, {}},
        {6000, 8, true, {}},          {5000, 2, false, {4999}},
    };
    ThreadTeam team(2);
    std::uint64_t seed = 88172645463325252ull;
    for (const Case &c : cases) {
        std::vector<double> points(static_cast<size_t>(c.n) * c.m);
        for (double &x : points) {
            seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
            x = c.alike ? 0.5 : static_cast<double>(seed >> 11) / 9007199254740992.0;
        }
        for (int p : c.not_finite)
            points[static_cast<size_t>(p) * c.m] = p % 2 ? INFINITY : NAN;
        std::vector<const double *> rows(static_cast<size_t>(c.n));
        for (int p = 0; p < c.n; ++p)
            rows[static_cast<size_t>(p)] = &points[static_cast<size_t>(p) * c.m];
        std::vector<int> one(rows.size()), two(rows.size()), teamed(rows.size());
        const int finite = order_patterns(rows.data(), c.n, c.m, one.data());
        EXPECT_EQ(finite, c.n - static_cast<int>(c.not_finite.size())) << c.n;
        EXPECT_EQ(order_patterns(rows.data(), c.n, c.m, two.data(), 2, nullptr), finite) << c.n;
        EXPECT_EQ(order_patterns(rows.data(), c.n, c.m, teamed.data(), 2, &team), finite) << c.n;
        EXPECT_EQ(two, one) << c.n << " patterns of " << c.m;
        EXPECT_EQ(teamed, one) << c.n << " patterns of " << c.m << ", on a team";
        EXPECT_EQ(std::set<int>(one.begin(), one.end()).size(), one.size()) << c.n;
    }
}

}  // namespace
