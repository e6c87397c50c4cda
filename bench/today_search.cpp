// Linked into the "today" twins of the plug-ins: from load on they search as
// the plug-ins did before the groups, threads and AVX-512 kernels (every node
// sized by the AVX2 kernels, one thread), so that the benchmark measures each
// gain against them in the same run.
#include "model/search.h"
#include "model/threads.h"

namespace {
[[maybe_unused]] const bool today = (set_search_path(SearchPath::Avx2) || set_search_path(SearchPath::Scalar)) &&
                                    (set_search_pruning(false), set_search_threads(1), true);
}
