// The plug-in file the Linux loader checks, read through the one descriptor
// it later loads: every read lies wholly inside the file, or fails. Nothing
// here is part of what the host library exports.
#ifndef QUORV_MINIHOST_PLUGIN_FILE_H
#define QUORV_MINIHOST_PLUGIN_FILE_H

#include "internal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace minihost {
namespace loader MINIHOST_INTERNAL {

// Reads from an open file, refusing any range that is not wholly inside it.
class File {
public:
    explicit File(int fd) : fd_(fd) {}
    ~File() { ::close(fd_); }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    uint64_t size = 0;
    int descriptor() const { return fd_; }

    bool inside(uint64_t offset, uint64_t length) const { return offset <= size && length <= size - offset; }

    bool read(uint64_t offset, void *buf, size_t length) const {
        if (!inside(offset, length)) return false;
        char *p = static_cast<char *>(buf);
        while (length > 0) {
            const ssize_t k = ::pread(fd_, p, length, static_cast<off_t>(offset));
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return false;
            p += k;
            offset += static_cast<uint64_t>(k);
            length -= static_cast<size_t>(k);
        }
        return true;
    }

private:
    int fd_;
};

// The open file's bytes against the digest recorded beside `path` (see
// digest.h): why the plug-in is refused, or an empty string when they match.
std::string check_digest(const std::string &path, const File &file);

}  // namespace loader
}  // namespace minihost

#endif
