// The tool's side of output files: standard output kept for the results, and
// the handlers that leave no temporary behind when a signal ends the tool.
// These change process-wide state, which is why they live here and not in
// the front library that the Python package shares.
#include "files.h"

#include "front/error.h"

#include <csignal>
#include <cstdio>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#else
#include <io.h>
#endif

namespace cli {

namespace {

extern "C" void end_without_temporaries(int signal_number)
{
    front::remove_unfinished_outputs();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);  // delivered with its default action once the handler returns
}

}  // namespace

OutputFile::OutputFile(const std::string &path, const std::vector<std::string> &inputs)
    : front::OutputFile(path, inputs)
{
    if (path != "-")
        return;
    // Standard output carries the results alone; the tool's other lines and
    // the plug-ins' console text go to standard error.
    std::fflush(stdout);
    if (dup2(2, 1) < 0)
        throw front::Error("cannot write standard output: cannot set standard error apart");
}

void remove_outputs_on_fatal_signals()
{
#ifdef _WIN32
    for (int s : {SIGINT, SIGTERM, SIGBREAK, SIGABRT})
        std::signal(s, end_without_temporaries);
#else
    // Every signal sent from outside whose default action ends the process,
    // and abort(); one that is ignored (nohup's HUP, a pipeline's PIPE) stays
    // ignored. Faults (SEGV, BUS, ...) are left to the default and to
    // checkers that catch them.
    std::vector<int> fatal = {SIGHUP,  SIGINT,  SIGQUIT, SIGABRT, SIGUSR1,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                              SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSTKFLT};
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s)
        fatal.push_back(s);
    for (int s : fatal) {
        struct sigaction now;
        if (sigaction(s, nullptr, &now) != 0 || now.sa_handler == SIG_IGN)
            continue;
        struct sigaction act = {};
        act.sa_handler = end_without_temporaries;
        sigemptyset(&act.sa_mask);
        sigaction(s, &act, nullptr);
    }
#endif
}

}  // namespace cli
