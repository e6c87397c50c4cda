// Linked into the "today" twins of the plug-ins: they search as the plug-ins
// did before the groups, threads and AVX-512 kernels (every node sized by the
// AVX2 kernels, one thread), so that the benchmark measures each gain against
// them in the same run.
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
