// Pieces of `quorv tune`: grids of settings, and a pool of worker processes
// that runs independent tasks on all cores.
#ifndef QUORV_CLI_TUNING_H
#define QUORV_CLI_TUNING_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// "0.5:0.95:0.05" (from, to, step; `to` included when the steps reach it
// within rounding), "0.5,0.75,1" or one value. Throws UsageError naming `option`.
std::vector<double> parse_grid(const std::string &text, const std::string &option);

// What a task sends back: a few numbers.
struct TaskResult {
    double values[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

// Runs task(0) ... task(n-1) in `workers` forked processes (in this process
// when workers <= 1), handing out the next task to whichever worker is free,
// and calls done(i, result) in this process as each one finishes. A task
// that throws ends the run with its message; a worker that dies, with an error.
// Plug-in calls are independent, but a plug-in's state is per process, so
// processes rather than threads.
void run_tasks(size_t n, size_t workers, const std::function<TaskResult(size_t)> &task,
               const std::function<void(size_t, const TaskResult &)> &done);

// Cores this process may use.
size_t available_cores();

}  // namespace cli

#endif
