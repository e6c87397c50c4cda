// The kernels in plain C++, one double at a time: for processors without AVX2
// and for compilers without vector extensions. Built with the project's flags
// only.
#define QUORV_KERNEL_SET scalar
#define QUORV_KERNEL_NAME "scalar"
#include "model/search/kernels-inl.h"

const search_kernels::Kernels *search_kernels::scalar_kernels() { return &scalar::table; }
