// Worker threads for the winner search. Workers only compute: they never call
// the host, so everything a host sees still comes from its calling thread.
#ifndef QUORV_MODEL_THREADS_H
#define QUORV_MODEL_THREADS_H

// Processor cores this process may run on (at least 1).
int processor_threads();

// Threads a plug-in call's search may use: processor_threads(), capped by the
// environment variable QUORV_THREADS when it holds a whole number >= 1 (read
// at each call, so a host session can change it between calls).
int search_threads();

// Runs task(0) .. task(tasks - 1), each once, on up to `threads` threads, the
// calling one included, and returns when all are done. A thread that cannot
// be started leaves its tasks to the calling thread.
void run_tasks(int tasks, int threads, void (*task)(void *context, int index), void *context);

#endif
