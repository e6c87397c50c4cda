// The stop handlers. Everything the handler reads is set before it can run
// or is a single atomic word, and it calls only async-signal-safe functions.
#include "signals.h"

#include "files.h"
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define getpid _getpid
#else
#include <sys/types.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

std::vector<int> g_signals;  // filled before any handler is installed
long g_owner = -1;           // the tool's own process: a forked child does none of the cleaning
std::atomic<const char *> g_message{nullptr};
std::atomic<bool> g_clear_line{false};
std::atomic<const int *> g_pids{nullptr};
std::atomic<size_t> g_pid_count{0};

void say(const char *text)
{
    const auto ignored = write(2, text, static_cast<unsigned>(std::strlen(text)));
    (void)ignored;
}

extern "C" void on_stop(int signal_number)
{
    const int saved = errno;
    if (static_cast<long>(getpid()) == g_owner) {
#ifndef _WIN32
        const int *pids = g_pids.load();
        const size_t count = pids ? g_pid_count.load() : 0;
        for (size_t i = 0; i < count; ++i)
            if (pids[i] > 0)
                kill(pids[i], SIGKILL);
#endif
        remove_unfinished_outputs();
        if (const char *message = g_message.load()) {
            // A live line may be on screen: the message starts a line of its own.
            if (g_clear_line.load())
                say("\r\033[K");
            say("quorv: ");
            if (signal_number == SIGINT) {
                say("interrupted");
            } else {
                const char *name = known_signal_name(signal_number);
                say("ended by ");
                say(name ? name : "a signal");
            }
            say("; ");
            say(message);
            say("\n");
        }
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);  // ends the process once the handler returns
    errno = saved;
}

}  // namespace

const int *stop_signals()
{
    if (g_signals.empty()) {
#ifdef _WIN32
        g_signals = {SIGINT, SIGTERM, SIGBREAK, SIGABRT};
#else
        // Every signal sent from outside whose default action ends the
        // process, and abort(). Faults (SEGV, BUS, ...) keep their default
        // and whatever checker catches them.
        g_signals = {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                     SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};
#ifdef __linux__
        for (int s : {SIGIO, SIGPWR, SIGSTKFLT})
            g_signals.push_back(s);
        for (int s = SIGRTMIN; s <= SIGRTMAX; ++s)
            g_signals.push_back(s);
#endif
#endif
        g_signals.push_back(0);
    }
    return g_signals.data();
}

void install_stop_handlers()
{
    g_owner = static_cast<long>(getpid());
    for (const int *s = stop_signals(); *s; ++s) {
#ifdef _WIN32
        std::signal(*s, on_stop);
#else
        struct sigaction now;
        if (sigaction(*s, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
            continue;
        struct sigaction act = {};
        act.sa_handler = on_stop;
        sigemptyset(&act.sa_mask);
        // One handler at a time: a second signal waits for the first to end the process.
        for (const int *t = stop_signals(); *t; ++t)
            sigaddset(&act.sa_mask, *t);
        sigaction(*s, &act, nullptr);
#endif
    }
}

void set_stop_message(const char *message)
{
    g_clear_line.store(message && isatty(2) == 1);
    g_message.store(message);
}

void interrupt_also_end(const int *pids, size_t count)
{
    g_pids.store(nullptr);
    g_pid_count.store(count);
    g_pids.store(pids);
}

}  // namespace cli
