// Grids of settings and the worker processes of `quorv tune`.
#include "tuning.h"

#include "error.h"
#include "files.h"
#include "minihost.h"
#include "numbers.h"
#include "progress.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#ifndef _WIN32
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace cli {

std::vector<double> parse_grid(const std::string &text, const std::string &option)
{
    const auto number = [&](const std::string &part) {
        double v = 0;
        if (!parse_double(part, &v) || !std::isfinite(v))
            throw UsageError(option + ": '" + part + "' is not a number (give V, V1,V2,... or FROM:TO:STEP)");
        return v;
    };
    std::vector<double> values;
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        size_t start = 0;
        for (;;) {
            const size_t comma = text.find(',', start);
            values.push_back(number(text.substr(start, comma - start)));
            if (comma == std::string::npos)
                return values;
            start = comma + 1;
        }
    }
    const size_t second = text.find(':', colon + 1);
    if (second == std::string::npos || text.find(':', second + 1) != std::string::npos)
        throw UsageError(option + ": '" + text + "' is not FROM:TO:STEP");
    const double from = number(text.substr(0, colon)), to = number(text.substr(colon + 1, second - colon - 1)),
                 step = number(text.substr(second + 1));
    if (!(step > 0) || to < from)
        throw UsageError(option + ": '" + text + "' needs FROM <= TO and STEP > 0");
    const double count = std::floor((to - from) / step + 1e-9);
    if (count >= 1000)
        throw UsageError(option + ": '" + text + "' makes more than 1000 values");
    // from + k*step, rounded to 12 digits so that 0.1 steps print as 0.1 steps
    for (double k = 0; k <= count; k += 1) {
        const double v = from + k * step;
        char text12[64];
        std::snprintf(text12, sizeof text12, "%.12g", v);
        double rounded = v;
        parse_double(text12, &rounded);
        values.push_back(rounded);
    }
    return values;
}

size_t available_cores()
{
#ifdef _WIN32
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
#else
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<size_t>(CPU_COUNT(&set));
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<size_t>(n) : 1;
#endif
}

#ifndef _WIN32

namespace {

// A worker's answer: ok, or the task's error text.
struct Reply {
    long ok = 0;
    TaskResult result;
    char error[512] = {0};
};

[[noreturn]] void worker_loop(int in, int out, const std::function<TaskResult(size_t)> &task)
{
    signal(SIGINT, SIG_DFL);
    minihost::set_console_echo(false);
    for (;;) {
        long index = -1;
        if (!read_all(in, &index, sizeof index) || index < 0)
            _exit(0);
        Reply reply;
        try {
            reply.result = task(static_cast<size_t>(index));
            reply.ok = 1;
        } catch (const std::exception &e) {
            std::snprintf(reply.error, sizeof reply.error, "%s", e.what());
        }
        if (!write_all(out, &reply, sizeof reply))
            _exit(1);
    }
}

struct Worker {
    int pid = -1, to = -1, from = -1;
    long task = -1;  // running, or -1 when idle
};

}  // namespace

#endif

void run_tasks(size_t n, size_t workers, const std::function<TaskResult(size_t)> &task,
               const std::function<void(size_t, const TaskResult &)> &done)
{
#ifdef _WIN32
    workers = 1;  // no fork: the tasks run one after the other in this process
#endif
    if (workers > n)
        workers = n;
    if (workers <= 1) {
        for (size_t i = 0; i < n; ++i)
            done(i, task(i));
        return;
    }
#ifndef _WIN32
    std::fflush(stdout);
    std::fflush(stderr);
    std::vector<Worker> pool(workers);
    static std::vector<int> pids;  // read by the interrupt handler
    pids.assign(workers, -1);
    std::string failure;
    for (size_t w = 0; w < workers && failure.empty(); ++w) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0)
            throw Error(std::string("cannot start a worker process: ") + std::strerror(errno));
        const pid_t pid = fork();
        if (pid < 0)
            throw Error(std::string("cannot start a worker process: ") + std::strerror(errno));
        if (pid == 0) {
            close(down[1]);
            close(up[0]);
            for (size_t v = 0; v < w; ++v) {
                close(pool[v].to);
                close(pool[v].from);
            }
            worker_loop(down[0], up[1], task);
        }
        close(down[0]);
        close(up[1]);
        pool[w].pid = pid;
        pool[w].to = down[1];
        pool[w].from = up[0];
        pids[w] = pid;
    }
    interrupt_also_end(pids.data(), pids.size());
    signal(SIGPIPE, SIG_IGN);  // a dead worker shows as a failed read, not a killed tool

    size_t next = 0, finished = 0;
    const auto hand_out = [&](Worker &w) {
        w.task = next < n ? static_cast<long>(next++) : -1;
        const long index = w.task;
        write_all(w.to, &index, sizeof index);
    };
    for (Worker &w : pool)
        hand_out(w);
    while (finished < n && failure.empty()) {
        std::vector<pollfd> fds;
        for (const Worker &w : pool)
            fds.push_back({w.task < 0 ? -1 : w.from, POLLIN, 0});  // a worker without a task has left
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            failure = std::string("waiting for the workers: ") + std::strerror(errno);
            break;
        }
        for (size_t k = 0; k < pool.size() && failure.empty(); ++k) {
            if (!fds[k].revents)
                continue;
            Worker &w = pool[k];
            Reply reply;
            if (!read_all(w.from, &reply, sizeof reply)) {
                failure = "a worker process ended unexpectedly";
                break;
            }
            if (!reply.ok) {
                failure = reply.error;
                break;
            }
            const size_t index = static_cast<size_t>(w.task);
            ++finished;
            done(index, reply.result);
            hand_out(w);
        }
    }
    for (Worker &w : pool) {
        if (!failure.empty())
            kill(w.pid, SIGTERM);
        close(w.to);  // an idle worker reads the end and leaves
        close(w.from);
        int status = 0;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    interrupt_also_end(nullptr, 0);
    if (!failure.empty())
        throw Error(failure);
#endif
}

}  // namespace cli
