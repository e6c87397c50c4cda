// Worker threads for the winner search. Workers only compute: they never call
// the host, so everything a host sees still comes from its calling thread.
#ifndef QUORV_MODEL_THREADS_H
#define QUORV_MODEL_THREADS_H

#include "model/cores.h"

// Threads a plug-in call's search may use: processor_threads(), capped by the
// environment variable QUORV_THREADS when it holds a whole number >= 1 (read
// at each call, so a host session can change it between calls).
int search_threads();

class ThreadTeam;

// Runs task(0) .. task(tasks - 1), each once, on up to `threads` threads, the
// calling one included, and returns when all are done. A thread that cannot
// be started leaves its tasks to the calling thread. With a team, its
// workers take part (as many as `threads` allows) and no thread is started.
void run_tasks(int tasks, int threads, void (*task)(void *context, int index), void *context,
               ThreadTeam *team = nullptr);

// Workers started ahead of the work they will share, so that their start
// overlaps what the calling thread does first; between two runs they wait,
// spinning a little, then asleep. Only the thread that made the team runs
// work on it; the team ends its workers when it is destroyed.
class ThreadTeam {
public:
    // Up to threads - 1 workers; fewer where the system refuses more.
    explicit ThreadTeam(int threads);
    ~ThreadTeam();
    ThreadTeam(const ThreadTeam &) = delete;
    ThreadTeam &operator=(const ThreadTeam &) = delete;

    int workers() const;
    // run_tasks on this team's workers (run_tasks calls it; so may the
    // thread that made the team, and no other).
    void run(int tasks, int threads, void (*task)(void *, int), void *context);

private:
    struct Shared;
    Shared *shared_;
};

#endif
