// SHA-256 of a byte stream, for the loader's check that a plug-in's bytes are
// those recorded when it was built. One implementation for every platform the
// host runs on, so that the digest files read the same everywhere.
#ifndef QUORV_MINIHOST_SHA256_H
#define QUORV_MINIHOST_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace minihost {

class Sha256 {
public:
    Sha256();
    void update(const void *data, size_t length);
    // The digest as 64 lower-case hexadecimal digits; the object is spent.
    std::string hex();

private:
    void block(const unsigned char *p);
    uint32_t h_[8];
    unsigned char buffer_[64];
    size_t filled_ = 0;
    uint64_t length_ = 0;  // bytes
};

}  // namespace minihost

#endif
