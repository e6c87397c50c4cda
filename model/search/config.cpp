// The search configurations from what this build and processor offer. A
// path's kernel table is handed out only where this build has it and the
// processor runs it. for_processor chooses once per process.
#include "model/search/config.h"

#include <initializer_list>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define QUORV_X86 1
#include <cpuid.h>
#else
#define QUORV_X86 0
#endif

namespace {

bool processor_has_avx2()
{
#if QUORV_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

bool processor_has_avx512()
{
#if QUORV_X86
    __builtin_cpu_init();
    return processor_has_avx2() && __builtin_cpu_supports("avx512f");
#else
    return false;
#endif
}

// AMD's family 19h processors carry out each 512-bit operation as two 256-bit
// halves: there the flat AVX-512 kernel does the AVX2 kernel's work with less
// parallelism.
bool processor_halves_avx512()
{
#if QUORV_X86
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d))
        return false;
    const bool amd = b == 0x68747541u && d == 0x69746e65u && c == 0x444d4163u;  // "AuthenticAMD"
    if (!amd || !__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const unsigned base = (a >> 8) & 0xf;
    const unsigned family = base == 0xf ? base + ((a >> 20) & 0xff) : base;
    return family == 0x19;
#else
    return false;
#endif
}

const search_kernels::Kernels *table_of(SearchPath path)
{
    switch (path) {
    case SearchPath::Avx512:
        return processor_has_avx512() ? search_kernels::avx512_kernels() : nullptr;
    case SearchPath::Avx2:
        return processor_has_avx2() ? search_kernels::avx2_kernels() : nullptr;
    case SearchPath::Straight:
    case SearchPath::Scalar:
        break;
    }
    return search_kernels::scalar_kernels();
}

SearchConfig best_for_processor()
{
    SearchConfig config;
    for (SearchPath path : {SearchPath::Avx512, SearchPath::Avx2, SearchPath::Scalar})
        if (SearchConfig::for_path(path, &config))
            break;
    const search_kernels::Kernels *avx2 = table_of(SearchPath::Avx2);
    if (config.path == SearchPath::Avx512 && avx2 && processor_halves_avx512())
        config.kernels.flat_winners = avx2->flat_winners;
    return config;
}

}  // namespace

const char *search_path_name(SearchPath path)
{
    switch (path) {
    case SearchPath::Straight:
        return "straight";
    case SearchPath::Scalar:
        return "scalar";
    case SearchPath::Avx2:
        return "avx2";
    case SearchPath::Avx512:
        return "avx512";
    }
    return "?";
}

bool SearchConfig::available(SearchPath path) { return table_of(path) != nullptr; }

bool SearchConfig::for_path(SearchPath path, SearchConfig *config)
{
    const search_kernels::Kernels *table = table_of(path);
    if (!table)
        return false;
    config->path = path;
    config->kernels = *table;
    return true;
}

SearchConfig SearchConfig::for_processor()
{
    static const SearchConfig best = best_for_processor();
    return best;
}
