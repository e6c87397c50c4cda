// Worker threads for the winner search.
#include "model/threads.h"

#include "model/search/policy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <immintrin.h>
#endif


namespace {

struct Work {
    void (*task)(void *, int);
    void *context;
    int tasks;
    std::atomic<int> next{0};
};

// Each thread takes the next task until none is left.
void take_tasks(Work *work)
{
    for (int i = work->next.fetch_add(1); i < work->tasks; i = work->next.fetch_add(1))
        work->task(work->context, i);
}

constexpr int kMaxWorkers = search_policy::kMostWorkers;

constexpr auto kSpinFor = std::chrono::microseconds(search_policy::kSpinMicroseconds);

void relax()
{
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
}

// Returns once `done()` holds: spinning for up to kSpinFor, then asleep on
// `wakeup`, which whoever makes `done()` true notifies under `lock`.
template <class Done>
void await(std::mutex &lock, std::condition_variable &wakeup, Done done)
{
    const auto until = std::chrono::steady_clock::now() + kSpinFor;
    for (int spins = 1; !done(); ++spins) {
        if (spins % search_policy::kSpinsPerClockRead != 0 || std::chrono::steady_clock::now() < until) {
            relax();
            continue;
        }
        std::unique_lock<std::mutex> hold(lock);
        wakeup.wait(hold, done);
    }
}

}  // namespace

int search_threads() { return allowed_threads(); }

void run_tasks(int tasks, int threads, void (*task)(void *context, int index), void *context, ThreadTeam *team)
{
    if (threads > tasks)
        threads = tasks;
    if (threads <= 1) {
        for (int i = 0; i < tasks; ++i)
            task(context, i);
        return;
    }
    if (team && team->workers() > 0) {
        team->run(tasks, threads, task, context);
        return;
    }
    Work shared;
    shared.task = task;
    shared.context = context;
    shared.tasks = tasks;
    std::thread workers[kMaxWorkers];
    const int wanted = threads - 1 < kMaxWorkers ? threads - 1 : kMaxWorkers;
    int started = 0;
    for (; started < wanted; ++started) {
        try {
            workers[started] = std::thread(take_tasks, &shared);
        } catch (...) {
            break;  // no more threads to be had: the calling thread does the rest
        }
    }
    take_tasks(&shared);
    for (int i = 0; i < started; ++i)
        workers[i].join();
}

// ---- the team ----

// A run is published by moving `generation` on; each worker answers every
// generation by counting itself in `answered`, whether it took tasks or not,
// so that the caller knows when the run's state may be reused.
struct ThreadTeam::Shared {
    std::mutex lock;
    std::condition_variable wake, answered_all;
    std::atomic<unsigned> generation{0};
    std::atomic<int> answered{0};
    std::atomic<bool> stop{false};
    Work work;
    int taking = 0;  // workers that take tasks in this run (the first ones)
    int started = 0;
    std::thread workers[kMaxWorkers];

    void serve(int index)
    {
        unsigned seen = 0;
        for (;;) {
            await(lock, wake, [&] { return generation.load(std::memory_order_acquire) != seen || stop.load(); });
            const unsigned now = generation.load(std::memory_order_acquire);
            if (now == seen)
                return;  // stopped
            seen = now;
            if (index < taking)
                take_tasks(&work);
            if (answered.fetch_add(1, std::memory_order_acq_rel) + 1 == started) {
                std::lock_guard<std::mutex> hold(lock);
                answered_all.notify_one();
            }
        }
    }
};

ThreadTeam::ThreadTeam(int threads) : shared_(new (std::nothrow) Shared)
{
    if (!shared_)
        return;
    const int wanted = threads - 1 < kMaxWorkers ? threads - 1 : kMaxWorkers;
    for (Shared &s = *shared_; s.started < wanted; ++s.started) {
        try {
            s.workers[s.started] = std::thread(&Shared::serve, &s, s.started);
        } catch (...) {
            break;  // fewer workers: the caller does more
        }
    }
}

ThreadTeam::~ThreadTeam()
{
    if (!shared_)
        return;
    {
        std::lock_guard<std::mutex> hold(shared_->lock);
        shared_->stop = true;
    }
    shared_->wake.notify_all();
    for (int i = 0; i < shared_->started; ++i)
        shared_->workers[i].join();
    delete shared_;
}

int ThreadTeam::workers() const { return shared_ ? shared_->started : 0; }

void ThreadTeam::run(int tasks, int threads, void (*task)(void *, int), void *context)
{
    Shared &s = *shared_;
    s.work.task = task;
    s.work.context = context;
    s.work.tasks = tasks;
    s.work.next.store(0);
    s.taking = threads - 1 < s.started ? threads - 1 : s.started;
    s.answered.store(0);
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.generation.fetch_add(1, std::memory_order_release);
    }
    s.wake.notify_all();
    take_tasks(&s.work);
    await(s.lock, s.answered_all, [&] { return s.answered.load(std::memory_order_acquire) == s.started; });
}
