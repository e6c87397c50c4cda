// Linked into the straight twins of the plug-ins: from load on they search
// with the plain per-node loop, so that the same calls can be run on both.
#include "model/search.h"

namespace {
[[maybe_unused]] const bool straight = set_search_path(SearchPath::Straight);
}
