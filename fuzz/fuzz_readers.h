// The command-line tool's CSV and model readers, fed the fuzzer's bytes.
#ifndef QUORV_FUZZ_READERS_H
#define QUORV_FUZZ_READERS_H

#include <cstddef>
#include <cstdint>

// `data` is the whole file: a model file when `model`, else a CSV file.
// Aborts on anything but a clean read or a clean refusal.
void fuzz_readers(const uint8_t *data, size_t size, bool model);

#endif
