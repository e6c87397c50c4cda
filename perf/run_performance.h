// The classification driver: one pass of the test patterns over the nodes
// rebuilt from trained templates.
#ifndef QUORV_PERF_RUN_PERFORMANCE_H
#define QUORV_PERF_RUN_PERFORMANCE_H

// Returns N labels in a host block owned by the caller, or null when memory
// ran out (every node is then already released). The arrays given are
// read, never released.
double *run_performance(int K, int M, double **templates, const double *node_labels, double vigilance,
                        int N, double **patterns, int unknown_label, int oflag);

#endif
