// A pool of worker processes that runs independent tasks on all cores and
// hands their results back as messages. Processes rather than threads: a
// plug-in keeps its state (class-wide parameters, counters) per process, one
// call at a time. Workers never outlive the tool, whatever ends it.
#ifndef QUORV_CLI_POOL_H
#define QUORV_CLI_POOL_H

#include "message.h"

#include <cstddef>
#include <functional>

namespace cli {

// Processor cores this process may run on (at least 1): the count the
// plug-ins' own threads use too.
size_t usable_cores();

// Whether tasks can run in worker processes here. Windows has no fork: there
// the tasks run one after the other in the tool's own process.
#ifdef _WIN32
constexpr bool kWorkerProcesses = false;
#else
constexpr bool kWorkerProcesses = true;
#endif

// The workers a pool asked for `wanted` really starts for `tasks` tasks:
// at most one per task, and 1 (this process) where there are no workers.
size_t pool_workers(size_t wanted, size_t tasks);

// Runs task(0) ... task(n-1), in pool_workers(workers, n) forked processes
// (in this process when that is 1), handing the next task to whichever worker
// is free, and calls done(i, result) in this process as each one finishes.
// A task that throws ends the run with its message; a worker that dies, with
// an error that says how it ended (its exit status or signal).
void run_in_workers(size_t n, size_t workers, const std::function<Message(size_t)> &task,
                    const std::function<void(size_t, const Message &)> &done);

}  // namespace cli

#endif
