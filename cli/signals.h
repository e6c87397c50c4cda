// The tool's handling of the signals that end a process (Ctrl-C, TERM, HUP,
// a batch system's XCPU, USR1, ALRM, ...): whatever ends the tool, its worker
// processes end with it, no output temporary is left behind, and a run that
// was writing something says what it did not write. Installed by main only:
// code that the Python package also runs changes no process-wide state.
#ifndef QUORV_CLI_SIGNALS_H
#define QUORV_CLI_SIGNALS_H

#include <cstddef>

namespace cli {

// Installs the handlers, once, in main. A signal that is ignored when the
// tool starts (nohup's HUP, a shell's background INT) stays ignored. Each
// handler ends the workers, removes the temporaries of unfinished outputs,
// prints the stop message if one is set, then lets the signal end the
// process as it would have (status 128 + N in a shell). In a forked child
// (a worker, the loader's trial load) the handlers do nothing of this.
void install_stop_handlers();

// The signals the handlers cover, for workers to set back to the default.
// Ends with 0.
const int *stop_signals();

// "interrupted; MESSAGE" (Ctrl-C) or "ended by SIGTERM; MESSAGE" on its own
// line when a signal ends the run while set; nullptr: nothing printed.
void set_stop_message(const char *message);

// Process ids the handlers end too (worker processes); nullptr, 0: none.
void interrupt_also_end(const int *pids, size_t count);

}  // namespace cli

#endif
