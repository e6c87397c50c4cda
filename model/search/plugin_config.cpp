// The plug-ins search with the fastest path of this processor, on the threads
// QUORV_THREADS allows. (The benchmark's twins link their own definition.)
#include "model/search.h"
#include "model/threads.h"

SearchConfig plugin_search_config()
{
    SearchConfig config = SearchConfig::for_processor();
    config.threads = search_threads();
    return config;
}
