// The count of processor cores this process may run on: the one count behind
// both the plug-ins' search threads and the tool's worker processes, in a
// unit of its own so that the tool needs nothing of the search for it.
#ifndef QUORV_MODEL_CORES_H
#define QUORV_MODEL_CORES_H

// Processor cores this process may run on (at least 1, at most 1024).
int processor_threads();

#endif
