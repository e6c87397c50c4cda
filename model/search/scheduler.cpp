// Batches of patterns (classification) on one thread or several (see
// scheduler.h).
//
// What stays true:
// - Every pattern of a batch gets the winner a flat search in node order
//   gives, whichever thread takes it and whether the groups serve it or not.
// - The threads touch nothing but the block's groups (read only once made),
//   their own GroupScratch, and disjoint runs of the output arrays; the
//   calling thread's scratch serves only the thread that made the groups.
// - Runs are handed out under one lock from both ends of [front, back), so
//   each pattern is searched exactly once.
//
// A batch that finds the block still to be grouped groups it while searching
// (GroupingHandshake): one thread makes the groups, the others take parts of
// that work (parts write disjoint tiles, lanes and groups: grouping.h) or
// search flat until the groups are judged, then all search with them if they
// pay.
#include "model/search/scheduler.h"

#include "model/search/policy.h"
#include "model/threads.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

namespace {

using namespace search_policy;

// The patterns of a call in k-d order, for the threads to take in runs:
// neighbours then share a run, whose searches visit mostly the same tiles.
// Their winners go back in the order given.
struct OrderedPatterns {
    Buffer<int> index;  // index[i]: the number of the i-th pattern in order
    Buffer<const double *> patterns;
    Buffer<int> winners;
    Buffer<double> sizes;

    // False, keeping nothing, without the memory.
    bool make(const double *const *given, int n, int m, bool with_sizes)
    {
        const std::size_t count = static_cast<std::size_t>(n);
        if (!index.allocate(count) || !patterns.allocate(count) || !winners.allocate(count) ||
            (with_sizes && !sizes.allocate(count))) {
            *this = OrderedPatterns();
            return false;
        }
        order_patterns(given, n, m, index.get());
        for (std::size_t i = 0; i < count; ++i)
            patterns[i] = given[index[i]];
        return true;
    }

    // As find_winners leaves them: the sizes of patterns without a winner untouched.
    void put_back(int n, int *to_winners, double *to_sizes) const
    {
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            to_winners[index[i]] = winners[i];
            if (to_sizes && winners[i] >= 0)
                to_sizes[index[i]] = sizes[i];
        }
    }
};

// The group-while-searching handshake of one batch. Its states:
// - the k-d order of the patterns: Unordered, then Ordering (one thread makes
//   it, the others wait), then Ordered (made, or left as given without the
//   memory);
// - the regroup's parts: offered once the first thread has begun the regroup,
//   each taken by one thread, all done before the regroup ends;
// - the verdict on the groups: Pending until the first thread has made them
//   and probed them, then Grouped (they pay) or Flat;
// - the runs not yet taken, [front, back): flat runs from the back while the
//   verdict is pending, runs from the front after it.
class GroupingHandshake {
public:
    enum class Order { Unordered, Ordering, Ordered };
    enum class Verdict { Pending, Grouped, Flat };

    GroupingHandshake(const BatchParts &parts, const double *const *patterns, int n, int *winners, double *sizes,
                      int threads)
        : parts_(parts), given_(patterns), n_(n), patterns_(patterns), winners_(winners), sizes_(sizes),
          back_(n), threads_(threads)
    {
        // The patterns are put in order while the nodes are grouped, where
        // that takes less time (both are k-d splits, the nodes' of twice the
        // features); otherwise nobody would wait for it. Without the order,
        // each run with the groups orders its own patterns.
        const double nodes = parts.tiles.count, points = n;
        if (kNodeSplitWeight * nodes * std::log2(nodes + 1) < points * std::log2(points + 1))
            order_ = Order::Ordered;
    }

    void run(int task)
    {
        std::unique_ptr<GroupScratch> own;
        GroupScratch *scratch = nullptr;
        if (task == 0)
            scratch = make_and_judge_groups();
        else
            await_order();
        for (;;) {
            const Verdict verdict = current_verdict();
            if (verdict == Verdict::Grouped && !scratch) {
                own = GroupScratch::make(*parts_.groups.groups());  // null: this thread searches flat
                scratch = own.get();
            }
            if (verdict == Verdict::Pending && task != 0) {
                const int part = take_part();
                if (part >= 0) {
                    regrouping_.part(part);
                    part_done();
                    continue;
                }
            }
            const bool with_groups = verdict == Verdict::Grouped && scratch;
            const bool decided = verdict != Verdict::Pending;
            // Short flat runs while the groups are made, so that this thread
            // soon learns the verdict; long ones once it is known.
            const int most = with_groups ? kGroupedRunDecided : decided ? kFlatRunDecided : kRunWhileGrouping;
            int p0 = 0, nb = 0;
            if (!take_run(!decided, most, with_groups ? kLeastGroupedRun : kRunWhileGrouping, &p0, &nb))
                break;
            if (with_groups)
                parts_.query().range(patterns_ + p0, nb, winners_ + p0, sizes_at(p0), *scratch, in_order_);
            else
                parts_.flat(patterns_ + p0, nb, winners_ + p0, sizes_at(p0));
        }
    }

    // The winners back in the order given.
    void finish(int *winners, double *sizes) const
    {
        if (in_order_)
            order_made_.put_back(n_, winners, sizes);
    }

private:
    double *sizes_at(int p0) const { return sizes_ ? sizes_ + p0 : nullptr; }

    // The first thread: begins the regroup, does parts of it with the others,
    // ends it, and probes the groups on the first patterns. Returns the
    // calling thread's scratch where the groups pay.
    GroupScratch *make_and_judge_groups()
    {
        bool pays = false;
        bool regrouped = parts_.groups.begin(regrouping_, parts_.tiles);
        if (regrouped) {
            offer_parts(regrouping_.parts);
            for (int part; (part = take_part()) >= 0; part_done())
                regrouping_.part(part);
            // While others finish their parts, short flat runs rather than waiting.
            int p0 = 0, nb = 0;
            while (take_run_while_parts_pending(&p0, &nb))
                parts_.flat(patterns_ + p0, nb, winners_ + p0, sizes_at(p0));
            await_parts();
            regrouped = parts_.groups.end(regrouping_);
        }
        await_order();
        int p0 = 0, nb = 0;
        GroupScratch *scratch = parts_.groups.scratch();
        if (regrouped && parts_.pruning && parts_.groups.groups() && scratch &&
            take_run(false, kProbePatterns, kProbePatterns, &p0, &nb)) {
            int probed = 0;
            pays = parts_.query().pays(patterns_ + p0, nb, winners_ + p0, sizes_at(p0), *scratch, &probed);
            if (probed < nb)
                parts_.flat(patterns_ + p0 + probed, nb - probed, winners_ + p0 + probed,
                                    sizes_at(p0 + probed));
        }
        std::lock_guard<std::mutex> hold(lock_);
        verdict_ = pays ? Verdict::Grouped : Verdict::Flat;
        return pays ? scratch : nullptr;
    }

    Verdict current_verdict()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return verdict_;
    }

    void offer_parts(int parts)
    {
        std::lock_guard<std::mutex> hold(lock_);
        parts_offered_ = parts;
    }
    // The next part not yet taken, or -1.
    int take_part()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return parts_taken_ < parts_offered_ ? parts_taken_++ : -1;
    }
    void part_done()
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (++parts_done_ == parts_offered_)
            all_parts_done_.notify_all();
    }
    // A short flat run from the back while other threads still do parts of
    // the regroup; false once the parts are done or no run is left. Those
    // threads took their parts after the patterns' order was settled, so the
    // runs index the arrays they search.
    bool take_run_while_parts_pending(int *p0, int *nb)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (parts_done_ == parts_offered_ || order_ != Order::Ordered)
                return false;
        }
        return take_run(true, kRunWhileGrouping, kRunWhileGrouping, p0, nb);
    }
    void await_parts()
    {
        std::unique_lock<std::mutex> hold(lock_);
        all_parts_done_.wait(hold, [this] { return parts_done_ == parts_offered_; });
    }

    // Orders the patterns, or waits for the thread that does.
    void await_order()
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (order_ != Order::Unordered) {
            ordered_.wait(hold, [this] { return order_ == Order::Ordered; });
            return;
        }
        order_ = Order::Ordering;
        hold.unlock();
        const bool made = order_made_.make(given_, n_, parts_.tiles.m, sizes_ != nullptr);
        hold.lock();
        if (made) {
            patterns_ = order_made_.patterns.get();
            winners_ = order_made_.winners.get();
            sizes_ = order_made_.sizes.get();
        }
        in_order_ = made;
        order_ = Order::Ordered;
        ordered_.notify_all();
    }

    // The next run of at most `most` patterns, from the front or the back;
    // false when none is left. Runs shrink towards the end, to no less than
    // `least`, so that the threads finish together.
    bool take_run(bool from_back, int most, int least, int *p0, int *nb)
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (front_ >= back_)
            return false;
        const int share = (back_ - front_) / (kRunsPerThreadOfRest * threads_);
        *nb = std::min(std::min(most, std::max(least, share)), back_ - front_);
        if (from_back) {
            back_ -= *nb;
            *p0 = back_;
        } else {
            *p0 = front_;
            front_ += *nb;
        }
        return true;
    }

    const BatchParts &parts_;
    const double *const *given_;
    const int n_;
    // What runs are taken from: the ordered patterns, or without the memory
    // for them those given. Set before any run is taken.
    const double *const *patterns_;
    int *winners_;
    double *sizes_;
    OrderedPatterns order_made_;
    bool in_order_ = false;
    Regrouping regrouping_;

    std::mutex lock_;
    Order order_ = Order::Unordered;
    std::condition_variable ordered_;
    int parts_offered_ = 0, parts_taken_ = 0, parts_done_ = 0;
    std::condition_variable all_parts_done_;
    Verdict verdict_ = Verdict::Pending;
    int front_ = 0, back_;
    const int threads_;
};

// The runs of a flat batch on several threads, taken from the front under
// one lock: each a share of what is left, down to kShortestFlatRun, so that
// a thread that starts late or that the machine slows leaves the others no
// long run to wait for at the end.
class FlatRuns {
public:
    FlatRuns(int n, int threads) : n_(n), threads_(threads) {}

    // The next run, [*p0, *p0 + *nb); false when none is left.
    bool take(int *p0, int *nb)
    {
        std::lock_guard<std::mutex> hold(lock_);
        const int left = n_ - front_;
        if (left <= 0)
            return false;
        const int share = left / (kRunsPerThreadOfRest * threads_) / kShortestFlatRun * kShortestFlatRun;
        *nb = std::min(left, std::max(share, kShortestFlatRun));
        *p0 = front_;
        front_ += *nb;
        return true;
    }

private:
    std::mutex lock_;
    const int n_, threads_;
    int front_ = 0;
};

struct FlatJob {
    const GroupedQuery *query;
    const double *const *patterns;
    int *winners;
    double *sizes;
    FlatRuns *runs;
    void (*run)(const FlatJob &job);
};

struct BatchJob {
    const GroupedQuery *query;
    const double *const *patterns;
    int n, chunk;
    int *winners;
    double *sizes;
    std::unique_ptr<GroupScratch> *scratch;  // per task; null: that task searches flat
    bool ordered;
    void (*run)(const BatchJob &job, int task);
};

// A flat batch on several threads.
void flat_on_threads(const BatchParts &parts, const double *const *patterns, int n, int *winners, double *sizes,
                     int threads)
{
    FlatRuns runs(n, threads);
    const GroupedQuery query = parts.query();
    FlatJob job{&query, patterns, winners, sizes, &runs, [](const FlatJob &j) {
                    int p0 = 0, nb = 0;
                    while (j.runs->take(&p0, &nb))
                        j.query->flat(j.patterns + p0, nb, j.winners + p0, j.sizes ? j.sizes + p0 : nullptr);
                }};
    run_tasks(threads, threads,
              [](void *context, int) {
                  const FlatJob &j = *static_cast<const FlatJob *>(context);
                  j.run(j);
              },
              &job, parts.team);
}

// A batch the groups pay for on several threads: several runs per thread
// even out threads that the machine slows, each long enough to order its
// patterns for the groups.
void grouped_on_threads(const BatchParts &parts, const double *const *patterns, int n, int *winners,
                        double *sizes, int threads)
{
    const int shortest = kShortestGroupedRun;
    const int tasks = std::min((n + shortest - 1) / shortest, std::min(kTasksPerThread * threads, kMostTasks));
    const int chunk = (n + tasks - 1) / tasks;
    std::unique_ptr<GroupScratch> scratch[kMostTasks];
    for (int t = 0; t < tasks; ++t)
        scratch[t] = GroupScratch::make(*parts.groups.groups());
    OrderedPatterns order;
    const bool ordered = order.make(patterns, n, parts.tiles.m, sizes != nullptr);
    const GroupedQuery query = parts.query();
    BatchJob job{&query,
                 ordered ? order.patterns.get() : patterns,
                 n,
                 chunk,
                 ordered ? order.winners.get() : winners,
                 ordered ? order.sizes.get() : sizes,
                 scratch,
                 ordered,
                 [](const BatchJob &j, int task) {
                     const int p0 = task * j.chunk;
                     const int nb = std::min(j.chunk, j.n - p0);
                     if (nb <= 0)
                         return;
                     double *sizes_out = j.sizes ? j.sizes + p0 : nullptr;
                     if (j.scratch[task])
                         j.query->range(j.patterns + p0, nb, j.winners + p0, sizes_out, *j.scratch[task],
                                        j.ordered);
                     else
                         j.query->flat(j.patterns + p0, nb, j.winners + p0, sizes_out);
                 }};
    run_tasks((n + chunk - 1) / chunk, threads,
              [](void *context, int task) {
                  const BatchJob &j = *static_cast<const BatchJob *>(context);
                  j.run(j, task);
              },
              &job, parts.team);
    if (ordered)
        order.put_back(n, winners, sizes);
}

}  // namespace

void batch_winners(const BatchParts &parts, const double *const *patterns, int n, int *winners, double *sizes,
                   int threads)
{
    // One probe for the whole call tells whether the groups pay; if not, the
    // flat kernels take all the patterns after it.
    GroupScratch *scratch = parts.groups.scratch();
    const GroupedQuery query = parts.query();
    bool grouped_search = parts.pruning && parts.groups.groups() && scratch;
    if (grouped_search && n > kGroupedRun) {
        int probed = 0;
        grouped_search = query.pays(patterns, n, winners, sizes, *scratch, &probed);
        patterns += probed;
        winners += probed;
        sizes = sizes ? sizes + probed : nullptr;
        n -= probed;
    }
    if (threads <= 1) {
        if (grouped_search)
            query.range(patterns, n, winners, sizes, *scratch);
        else
            query.flat(patterns, n, winners, sizes);
    } else if (grouped_search) {
        grouped_on_threads(parts, patterns, n, winners, sizes, threads);
    } else {
        flat_on_threads(parts, patterns, n, winners, sizes, threads);
    }
}

void grouping_winners(const BatchParts &parts, const double *const *patterns, int n, int *winners, double *sizes,
                      int threads)
{
    GroupingHandshake handshake(parts, patterns, n, winners, sizes, threads);
    run_tasks(threads, threads, [](void *context, int task) { static_cast<GroupingHandshake *>(context)->run(task); },
              &handshake, parts.team);
    handshake.finish(winners, sizes);
}
