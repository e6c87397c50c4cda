// The thread count and the task runner of the search.
#include "model/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// QUORV_THREADS caps the cores, for the search and the model reader alike;
// anything but a whole number >= 1 means all.
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
        EXPECT_EQ(allowed_threads(), c.want) << "the model reader's count, QUORV_THREADS='" << c.value << "'";
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

}  // namespace
