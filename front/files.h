// Whole-file reading, and output files that never destroy, for every front
// end: opened before the work starts, written through a temporary file, and
// never the same file as an input.
//
// What it keeps true: until commit() nothing is replaced; a failure or an
// exception leaves no temporary behind, and so does a signal that ends the
// process, provided the program's handler calls remove_unfinished_outputs().
// This code changes no process-wide state: no umask, no signal handlers, no
// file descriptors but its own; it may run in several threads at once.
#ifndef QUORV_FRONT_FILES_H
#define QUORV_FRONT_FILES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace front {

// Writes all of data to fd, going on after interrupted or partial writes.
bool write_all(int fd, const void *data, size_t size);
// Reads exactly size bytes from fd; false at an error or an early end.
bool read_all(int fd, void *data, size_t size);

// The file's bytes; throws Error "cannot read PATH: REASON". When
// `looks_right` says no to the first bytes read, the reading stops there (a
// file that is plainly something else, say /dev/zero, is not read to its end).
std::string read_file(const std::string &path, bool (*looks_right)(std::string_view start) = nullptr);

// Whether `input` names the same file as `output` ("-": standard output),
// however the two are spelled (links, "./", case on Windows).
bool same_file(const std::string &input, const std::string &output);

// An output file. A regular file (or a new one) is written to a temporary
// file in the same folder, synced, given the mode (and, for root, the owner)
// of the file it replaces (a new file gets the mode a plain create gives),
// renamed over it and the folder synced, so that readers see the old file or
// the whole new one; a symbolic link is followed and kept. A file with
// several hard links is rewritten in place instead, so that every name sees
// the new one: its room reserved first (a full disk leaves it as it was) and
// stop signals held through the copy, so that it is never part old, part new;
// where its file system cannot reserve room, it is refused when opened. A
// FIFO, device or socket is written in place, never replaced.
// "-" is standard output (written through a copy of descriptor 1).
class OutputFile {
public:
    // Opens the output at once, so that a path that cannot be written fails
    // before any work. Throws Error "PATH is the same file as the input
    // INPUT ..." when it names (by any path or link) one of `inputs`.
    OutputFile(const std::string &path, const std::vector<std::string> &inputs);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    void write(std::string_view data);
    void commit();
    // For status lines: the path, or "standard output".
    std::string name() const;

private:
    void flush();
    void discard();
    [[noreturn]] void fail(int error);

    std::string path_;     // as given, for messages
    std::string target_;   // the file replaced (a symbolic link resolved)
    std::string temp_;     // temporary beside the target; empty when writing in place
    int slot_ = -1;        // its entry in the registry of unfinished outputs
    bool relink_ = false;  // copy the finished temporary into a multiply linked target
    int fd_ = -1;
    std::string buffer_;
    bool committed_ = false;
};

// Writes `content` to `path` as an OutputFile does, in one go.
void write_file_atomically(const std::string &path, const std::string &content);

// Removes the temporaries of every output not yet committed or discarded.
// Async-signal-safe: for a program's handler of the signals that end it,
// before it lets the signal take its course. Outputs beyond the registry's
// 64 slots at once are not covered.
void remove_unfinished_outputs();

}  // namespace front

#endif
