// The digest recorded beside each plug-in when it is built: a file
// NAME.sha256 holding the SHA-256 of NAME's bytes, as `sha256sum NAME` writes
// it. Both loaders compare it with the bytes they are about to load, so that a
// plug-in damaged or changed since its build is refused before it runs.
#ifndef QUORV_MINIHOST_DIGEST_H
#define QUORV_MINIHOST_DIGEST_H

#include <string>

namespace minihost {

// Longest digest file read; a real one is one short line.
constexpr size_t max_digest_file = 4096;

// The digest file of the plug-in at `path`.
std::string digest_path(const std::string &path);

// Why the plug-in at `path`, whose bytes have the SHA-256 `actual` (hex), is
// refused, given its digest file's text (`found` false when there is none);
// an empty string when the digest matches. One line, naming the file.
std::string digest_refusal(const std::string &path, bool found, const std::string &text, const std::string &actual);

}  // namespace minihost

#endif
