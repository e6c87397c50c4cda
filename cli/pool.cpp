// The worker pool. Each worker reads task numbers from its own pipe and
// answers each with one frame on another: a kind byte ('r' result, 'e' the
// task's error), the payload's length (8 bytes) and the payload.
#include "pool.h"

#include "error.h"
#include "files.h"
#include "minihost.h"
#include "model/cores.h"
#include "platform.h"
#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>
#ifndef _WIN32
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace cli {

size_t usable_cores() { return static_cast<size_t>(processor_threads()); }

size_t pool_workers(size_t wanted, size_t tasks)
{
    if (!kWorkerProcesses)
        return 1;
    const size_t n = wanted < tasks ? wanted : tasks;
    return n > 0 ? n : 1;
}

#ifndef _WIN32

namespace {

constexpr char kResult = 'r', kFailure = 'e';

bool send_frame(int fd, char kind, const std::string &payload)
{
    char head[9];
    head[0] = kind;
    const std::uint64_t size = payload.size();
    for (int i = 0; i < 8; ++i)
        head[1 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    return write_all(fd, head, sizeof head) && write_all(fd, payload.data(), payload.size());
}

// False when the worker is gone (an early end of the pipe).
bool receive_frame(int fd, char *kind, std::string *payload)
{
    unsigned char head[9];
    if (!read_all(fd, head, sizeof head))
        return false;
    std::uint64_t size = 0;
    for (int i = 0; i < 8; ++i)
        size |= static_cast<std::uint64_t>(head[1 + i]) << (8 * i);
    if (size > Message::kMaxBytes)
        throw Error("a worker process sent a message of " + std::to_string(size) + " bytes, more than allowed");
    *kind = static_cast<char>(head[0]);
    payload->resize(static_cast<size_t>(size));
    return read_all(fd, payload->empty() ? nullptr : &(*payload)[0], payload->size());
}

[[noreturn]] void worker_loop(int in, int out, pid_t parent, const std::function<Message(size_t)> &task)
{
    // The tool's handlers clean up after the tool; a worker just ends.
    for (const int *s = stop_signals(); *s; ++s)
        std::signal(*s, SIG_DFL);
#ifdef __linux__
    // Ends with the tool, however the tool ends (even SIGKILL).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);  // the tool ended before the line above
#else
    (void)parent;
#endif
    minihost::set_console_echo(false);
    for (;;) {
        std::int64_t index = -1;
        if (!read_all(in, &index, sizeof index) || index < 0)
            _exit(0);
        char kind = kResult;
        std::string payload;
        try {
            payload = task(static_cast<size_t>(index)).encode();
        } catch (const std::bad_alloc &) {
            kind = kFailure;
            payload = "out of memory";
        } catch (const std::exception &e) {
            kind = kFailure;
            payload = e.what();
        }
        if (!send_frame(out, kind, payload))
            _exit(1);
    }
}

std::string how_it_ended(int status)
{
    if (WIFSIGNALED(status))
        return "killed by " + signal_name(WTERMSIG(status));
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "status " + std::to_string(status);
}

struct Worker {
    pid_t pid = -1;
    int to = -1, from = -1;
    std::int64_t task = -1;  // running, or -1 when idle
    bool reaped = false;
};

// The started workers; whatever ends the run (a failure, an exception from
// `done`), none is left running and every pipe is closed.
class Pool {
public:
    ~Pool() { finish(!ended_well_); }
    void ended_well() { ended_well_ = true; }
    std::vector<Worker> workers;
    std::vector<int> pids;  // read by the interrupt handler

    void finish(bool kill_them)
    {
        interrupt_also_end(nullptr, 0);
        for (Worker &w : workers) {
            if (kill_them && !w.reaped)
                kill(w.pid, SIGKILL);
            if (w.to >= 0)
                close(w.to);  // an idle worker reads the end and leaves
            if (w.from >= 0)
                close(w.from);
            w.to = w.from = -1;
            reap(w);
        }
        workers.clear();
    }
    static int reap(Worker &w)
    {
        int status = 0;
        if (w.reaped)
            return status;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
        w.reaped = true;
        return status;
    }

private:
    bool ended_well_ = false;
};

// SIGPIPE ignored while the pool runs: a dead worker shows as a failed write
// or read, not as the end of the tool.
class IgnorePipeSignal {
public:
    IgnorePipeSignal()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &previous_);
    }
    ~IgnorePipeSignal() { sigaction(SIGPIPE, &previous_, nullptr); }

private:
    struct sigaction previous_ = {};
};

// Forks one worker with a pipe each way and adds it to `pool`; the child
// closes what belongs to the others and never returns.
void start_worker(Pool &pool, pid_t parent, const std::function<Message(size_t)> &task)
{
    int down[2], up[2];
    if (pipe(down) != 0)
        throw Error(std::string("cannot start a worker process: ") + std::strerror(errno));
    if (pipe(up) != 0) {
        const int error = errno;
        close(down[0]);
        close(down[1]);
        throw Error(std::string("cannot start a worker process: ") + std::strerror(error));
    }
    const pid_t pid = fork();
    if (pid < 0) {
        const int error = errno;
        for (int fd : {down[0], down[1], up[0], up[1]})
            close(fd);
        throw Error(std::string("cannot start a worker process: ") + std::strerror(error));
    }
    if (pid == 0) {
        close(down[1]);
        close(up[0]);
        for (const Worker &v : pool.workers) {
            close(v.to);
            close(v.from);
        }
        worker_loop(down[0], up[1], parent, task);
    }
    close(down[0]);
    close(up[1]);
    Worker worker;
    worker.pid = pid;
    worker.to = down[1];
    worker.from = up[0];
    pool.workers.push_back(worker);
    pool.pids.push_back(pid);
    interrupt_also_end(pool.pids.data(), pool.pids.size());
}

// Hands the tasks 0..n-1 out in turn, one per idle worker, and passes each
// answer to `done` as it comes; the first failure ends the run.
void serve(Pool &pool, size_t n, const std::function<void(size_t, const Message &)> &done)
{
    size_t next = 0, finished = 0;
    const auto hand_out = [&](Worker &w) {
        w.task = next < n ? static_cast<std::int64_t>(next++) : -1;
        const std::int64_t index = w.task;
        write_all(w.to, &index, sizeof index);  // a worker that is gone shows at the next read
    };
    for (Worker &w : pool.workers)
        hand_out(w);
    std::vector<pollfd> fds;
    std::string payload;
    while (finished < n) {
        fds.clear();
        for (const Worker &w : pool.workers)
            fds.push_back({w.task < 0 ? -1 : w.from, POLLIN, 0});  // a worker without a task has left
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            throw Error(std::string("waiting for the workers: ") + std::strerror(errno));
        }
        for (size_t k = 0; k < pool.workers.size(); ++k) {
            if (!fds[k].revents)
                continue;
            Worker &w = pool.workers[k];
            char kind = 0;
            if (!receive_frame(w.from, &kind, &payload)) {
                close(w.to);
                w.to = -1;
                throw Error("a worker process ended unexpectedly (" + how_it_ended(Pool::reap(w)) + ")");
            }
            if (kind == kFailure)
                throw Error(payload);
            if (kind != kResult)
                throw Error("a worker process sent a message of unknown kind");
            const size_t index = static_cast<size_t>(w.task);
            ++finished;
            done(index, Message::decode(payload));
            hand_out(w);
        }
    }
}

}  // namespace

#endif

void run_in_workers(size_t n, size_t workers, const std::function<Message(size_t)> &task,
                    const std::function<void(size_t, const Message &)> &done)
{
    workers = pool_workers(workers, n);
    if (workers <= 1) {
        for (size_t i = 0; i < n; ++i)
            done(i, task(i));
        return;
    }
#ifndef _WIN32
    std::fflush(stdout);
    std::fflush(stderr);
    const IgnorePipeSignal no_sigpipe;
    Pool pool;
    const pid_t parent = getpid();
    for (size_t w = 0; w < workers; ++w)
        start_worker(pool, parent, task);
    serve(pool, n, done);
    pool.ended_well();
    pool.finish(false);
#endif
}

}  // namespace cli
