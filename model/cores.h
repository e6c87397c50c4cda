// The count of processor cores this process may run on: the one count behind
// the plug-ins' search threads, the model reader's and the tool's worker processes, in a
// unit of its own so that the tool needs nothing of the search for it.
#ifndef QUORV_MODEL_CORES_H
#define QUORV_MODEL_CORES_H

// Processor cores this process may run on (at least 1, at most 1024).
int processor_threads();

// processor_threads(), capped by the environment variable QUORV_THREADS when
// it holds a whole number >= 1 (read at each call): the threads any of our
// own work may use, so that a user's cap holds for reading models as for
// searching.
int allowed_threads();

#endif
