// Model files named *.gz: gzip streams written as members of at most
// kGzipMemberText bytes of text each, compressed on all cores, and read
// member by member; any other gzip stream (one member of any size, files of
// other writers) is read through zlib's stream reader.
//
// What it keeps true: the text read is the text written, byte for byte,
// whichever reader takes a member; a stream either reader refuses is refused
// through zlib's reader, so its message does not depend on who wrote the file;
// after the last member, what zlib ignores is ignored. Memory is bounded by
// two members, never the whole text: the next is read on a thread of its own
// while the current one is taken, and that thread ends before the next read
// returns past it or the reader is destroyed.
#ifndef QUORV_FRONT_GZIP_H
#define QUORV_FRONT_GZIP_H

#include <cstddef>
#include <cstdio>
#include <future>
#include <memory>
#include <string>

namespace front {

constexpr size_t kGzipMemberText = size_t{4} << 20;

// `text` as a gzip stream. Throws Error when memory runs out.
std::string gzip_text(const std::string &text);

// A gzip file's text, read as it goes.
class GzipInput {
public:
    // Throws Error "cannot read PATH: REASON".
    explicit GzipInput(const std::string &path);
    ~GzipInput();
    GzipInput(const GzipInput &) = delete;
    GzipInput &operator=(const GzipInput &) = delete;

    // Up to `n` bytes of text into `to`: 0 at its end. Throws Error "cannot
    // read PATH: REASON" at a damaged stream or a read error.
    size_t read(char *to, size_t n);

private:
    void take_member();
    void next_member();
    void hand_to_zlib();
    size_t read_zlib(char *to, size_t n);

    std::string path_;
    std::FILE *file_ = nullptr;
    void *gz_ = nullptr;          // zlib's reader, once it has taken over
    std::string in_;              // compressed bytes not yet taken
    size_t in_at_ = 0;
    long long in_offset_ = 0;     // file offset of in_[0]
    bool in_ended_ = false;
    std::string out_;             // the current member's text
    size_t out_at_ = 0;
    std::string ahead_text_;      // the next member's, read ahead
    std::future<void> ahead_;     // reading it, when valid
    bool members_ = false;        // a member has been read
    bool done_ = false;
    void *decompressor_ = nullptr;
};

}  // namespace front

#endif
