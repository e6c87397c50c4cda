// Linked into the straight twins of the plug-ins: they search with the plain
// per-node loop, so that the same calls can be run on both.
#include "model/search.h"

SearchConfig plugin_search_config()
{
    SearchConfig config;
    SearchConfig::for_path(SearchPath::Straight, &config);
    return config;
}
