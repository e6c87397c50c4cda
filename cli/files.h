// Whole-file reading, and writing that never leaves a half-written file.
#ifndef QUORV_CLI_FILES_H
#define QUORV_CLI_FILES_H

#include <string>

namespace cli {

// The file's bytes; throws cli::Error "cannot read PATH: REASON".
std::string read_file(const std::string &path);

// Writes `content` to a temporary file beside `path` and renames it over
// `path`, so that readers see the old file or the whole new one, never a part.
// Throws cli::Error "cannot write PATH: REASON" and leaves no temporary behind.
void write_file_atomically(const std::string &path, const std::string &content);

}  // namespace cli

#endif
