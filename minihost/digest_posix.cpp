// The Linux loader's digest check: the bytes hashed are those of the open
// descriptor it goes on to load, and the digest file is read whole, or not
// at all, up to max_digest_file bytes.
#include "digest.h"
#include "plugin_file.h"
#include "sha256.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace minihost {
namespace loader MINIHOST_INTERNAL {
namespace {

// SHA-256 of the whole open file.
bool file_digest(const File &f, std::string *hex) {
    Sha256 sha;
    std::vector<char> buffer(1 << 16);
    for (uint64_t at = 0; at < f.size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), f.size - at));
        if (!f.read(at, buffer.data(), n)) return false;
        sha.update(buffer.data(), n);
        at += n;
    }
    *hex = sha.hex();
    return true;
}

// The text of the digest file beside `path`. False when there is none; a file
// that is there but cannot be read sets *error.
bool read_digest_file(const std::string &path, std::string *text, std::string *error) {
    const std::string name = digest_path(path);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) *error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    File file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot read " + name + ": not a regular file";
        return false;
    }
    file.size = static_cast<uint64_t>(st.st_size);
    text->resize(static_cast<size_t>(std::min<uint64_t>(file.size, max_digest_file)));
    if (!file.read(0, &(*text)[0], text->size())) {
        *error = "cannot read " + name + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    return true;
}

}  // namespace

std::string check_digest(const std::string &path, const File &file) {
    std::string recorded, actual, why;
    const bool has_digest = read_digest_file(path, &recorded, &why);
    if (!why.empty()) return why;
    if (has_digest && !file_digest(file, &actual))
        return "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
    return digest_refusal(path, has_digest, recorded, actual);
}

}  // namespace loader
}  // namespace minihost
