// Linked into the flat twins of the plug-ins: every node sized by the AVX2
// kernels (the plain ones without AVX2) on one thread, without the groups, as
// the plug-ins searched before the groups, threads and AVX-512 kernels, so
// that the benchmark measures each gain against them in the same run (its
// column "today").
#include "model/search.h"

SearchConfig plugin_search_config()
{
    SearchConfig config;
    if (!SearchConfig::for_path(SearchPath::Avx2, &config))
        SearchConfig::for_path(SearchPath::Scalar, &config);
    config.pruning = false;
    config.threads = 1;
    return config;
}
