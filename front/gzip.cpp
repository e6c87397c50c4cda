// Gzip model files: members compressed by libdeflate where the build has it
// (smaller files than zlib's best, and several times faster to read), else
// one zlib stream.
#include "gzip.h"

#include "error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <system_error>
#include <sys/stat.h>
#include <thread>
#include <vector>

#ifdef QUORV_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef QUORV_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#ifdef _WIN32
#include <io.h>
#define fileno _fileno
#define dup _dup
#define lseek _lseeki64
#else
#include <unistd.h>
#endif

namespace front {

namespace {

#ifdef QUORV_HAVE_LIBDEFLATE
// Level 10 of libdeflate's 12: below a tenth of the text for a forest's
// file (zlib's best leaves 10.2 %), at the cost of compressing on all cores.
constexpr int kLevel = 10;

// Compressed bytes read ahead of a member: a member of text is rarely more
// than half its size compressed; more is read only when needed.
constexpr size_t kReadAhead = kGzipMemberText / 2;

void compress_members(const std::string &text, std::vector<std::string> *members, size_t first, size_t step,
                      bool *failed)
{
    libdeflate_compressor *c = libdeflate_alloc_compressor(kLevel);
    if (!c) {
        *failed = true;
        return;
    }
    for (size_t i = first; i < members->size(); i += step) {
        const size_t at = i * kGzipMemberText, n = std::min(kGzipMemberText, text.size() - at);
        std::string &out = (*members)[i];
        out.resize(libdeflate_gzip_compress_bound(c, n));
        out.resize(libdeflate_gzip_compress(c, text.data() + at, n, &out[0], out.size()));
        if (out.empty())
            *failed = true;
    }
    libdeflate_free_compressor(c);
}
#endif

}  // namespace

std::string gzip_text(const std::string &text)
{
#ifdef QUORV_HAVE_LIBDEFLATE
    std::vector<std::string> members(std::max<size_t>(1, (text.size() + kGzipMemberText - 1) / kGzipMemberText));
    const unsigned cores = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), 64));
    const size_t threads = std::min<size_t>(cores, members.size());
    std::vector<char> failed(threads, 0);
    std::vector<std::thread> helpers;
    try {
        for (size_t t = 1; t < threads; ++t)
            helpers.emplace_back(compress_members, std::cref(text), &members, t, threads,
                                 reinterpret_cast<bool *>(&failed[t]));
    } catch (...) {
        // Fewer threads: the members no helper took are compressed below.
    }
    const size_t step = helpers.size() + 1;
    compress_members(text, &members, 0, step, reinterpret_cast<bool *>(&failed[0]));
    for (std::thread &t : helpers)
        t.join();
    if (std::find(failed.begin(), failed.end(), 1) != failed.end())
        throw Error("not enough memory to compress the model");
    std::string out;
    for (const std::string &m : members)
        out += m;
    return out;
#elif defined(QUORV_HAVE_ZLIB)
    z_stream z{};
    // 15 + 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw Error("not enough memory to compress the model");
    const std::unique_ptr<z_stream, int (*)(z_stream *)> ending(&z, deflateEnd);
    std::string out;
    constexpr size_t kPiece = size_t{1} << 30;  // what one call's counts hold
    size_t at = 0;
    int flush = Z_NO_FLUSH, status = Z_OK;
    while (status != Z_STREAM_END) {
        if (z.avail_in == 0 && flush == Z_NO_FLUSH) {
            const size_t piece = std::min(kPiece, text.size() - at);
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data() + at));
            z.avail_in = static_cast<uInt>(piece);
            at += piece;
            if (at == text.size())
                flush = Z_FINISH;
        }
        const size_t had = out.size();
        out.resize(had + (size_t{1} << 20));
        z.next_out = reinterpret_cast<Bytef *>(&out[had]);
        z.avail_out = static_cast<uInt>(out.size() - had);
        status = deflate(&z, flush);
        out.resize(out.size() - z.avail_out);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            throw Error("cannot compress the model");
    }
    return out;
#else
    (void)text;
    throw Error("this build writes no .gz files");
#endif
}

GzipInput::GzipInput(const std::string &path) : path_(path)
{
#ifdef QUORV_HAVE_ZLIB
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
#ifdef QUORV_HAVE_LIBDEFLATE
    // Only a regular file can be handed to zlib in mid-stream (a pipe cannot
    // seek back to a member): anything else is zlib's from its first byte.
    struct stat st;
    if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode))
        decompressor_ = libdeflate_alloc_decompressor();
#endif
    if (!decompressor_)
        hand_to_zlib();
#else
    throw Error("cannot read " + path + ": this build reads no .gz files");
#endif
}

GzipInput::~GzipInput()
{
    if (ahead_.valid())
        ahead_.wait();
#ifdef QUORV_HAVE_ZLIB
    if (gz_)
        gzclose(static_cast<gzFile>(gz_));
#endif
#ifdef QUORV_HAVE_LIBDEFLATE
    if (decompressor_)
        libdeflate_free_decompressor(static_cast<libdeflate_decompressor *>(decompressor_));
#endif
    if (file_)
        std::fclose(file_);
}

size_t GzipInput::read(char *to, size_t n)
{
    for (;;) {
        if (out_at_ < out_.size()) {
            const size_t got = std::min(n, out_.size() - out_at_);
            std::memcpy(to, out_.data() + out_at_, got);
            out_at_ += got;
            return got;
        }
        // The member read ahead first: until then its thread owns the state.
        if (!ahead_.valid() && gz_)
            return read_zlib(to, n);
        if (!ahead_.valid() && done_)
            return 0;
        take_member();
    }
}

// The member read ahead (or, the first time, read now) becomes the current
// one, and the next is read ahead on another thread while this one is taken.
void GzipInput::take_member()
{
    if (ahead_.valid())
        ahead_.get();  // its exception, if any, is the reader's
    else
        next_member();
    out_.swap(ahead_text_);
    out_at_ = 0;
    if (done_ || gz_)
        return;
    try {
        ahead_ = std::async(std::launch::async, [this] { next_member(); });
    } catch (const std::system_error &) {
        // No thread to be had: the next member is read when it is needed.
    }
}

// The next member into ahead_text_, or done_ at the end of the stream, or
// zlib's reader set up for the rest.
void GzipInput::next_member()
{
#ifdef QUORV_HAVE_LIBDEFLATE
    ahead_text_.resize(kGzipMemberText);
    size_t ahead = kReadAhead;
    for (;;) {
        // Enough compressed bytes ahead, or the file's end.
        while (!in_ended_ && in_.size() - in_at_ < ahead) {
            if (in_at_ > 0) {
                in_.erase(0, in_at_);
                in_offset_ += static_cast<long long>(in_at_);
                in_at_ = 0;
            }
            const size_t had = in_.size();
            in_.resize(had + ahead);
            const size_t got = std::fread(&in_[had], 1, ahead, file_);
            in_.resize(had + got);
            if (got == 0) {
                if (std::ferror(file_))
                    throw Error("cannot read " + path_ + ": " + std::strerror(errno));
                in_ended_ = true;
            }
        }
        const size_t left = in_.size() - in_at_;
        // After a member, zlib ignores whatever is not another one.
        if (members_ && (left < 2 || in_[in_at_] != '\x1f' || in_[in_at_ + 1] != '\x8b')) {
            ahead_text_.clear();
            done_ = true;
            return;
        }
        size_t used = 0, made = 0;
        const libdeflate_result r = libdeflate_gzip_decompress_ex(
            static_cast<libdeflate_decompressor *>(decompressor_), in_.data() + in_at_, left, &ahead_text_[0],
            ahead_text_.size(), &used, &made);
        if (r == LIBDEFLATE_SUCCESS) {
            in_at_ += used;
            ahead_text_.resize(made);
            members_ = true;
            return;
        }
        // Maybe only cut short by the read-ahead: read on, up to what a
        // member of kGzipMemberText bytes can take compressed.
        if (r == LIBDEFLATE_BAD_DATA && !in_ended_ && ahead < 2 * kGzipMemberText) {
            ahead *= 2;
            continue;
        }
        break;
    }
#endif
    // Not a member of ours (larger, damaged or not gzip): zlib reads the rest.
    ahead_text_.clear();
    hand_to_zlib();
}

void GzipInput::hand_to_zlib()
{
#ifdef QUORV_HAVE_ZLIB
    const long long at = in_offset_ + static_cast<long long>(in_at_);
    const int fd = dup(fileno(file_));
    // Without a decompressor nothing was read: zlib starts where the file does.
    if (fd < 0 || (decompressor_ && lseek(fd, at, SEEK_SET) != at)) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        throw Error("cannot read " + path_ + ": " + std::strerror(error));
    }
    errno = 0;
    gz_ = gzdopen(fd, "rb");
    if (!gz_) {
        close(fd);
        throw Error("cannot read " + path_ + ": " + (errno ? std::strerror(errno) : "not enough memory"));
    }
    gzbuffer(static_cast<gzFile>(gz_), 1u << 17);
#endif
}

size_t GzipInput::read_zlib(char *to, size_t n)
{
#ifdef QUORV_HAVE_ZLIB
    gzFile gz = static_cast<gzFile>(gz_);
    const int got = gzread(gz, to, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
    // A stream cut short ends reading with Z_BUF_ERROR set, not with -1.
    int code = Z_OK;
    const char *what = gzerror(gz, &code);
    if (got < 0 || (code != Z_OK && code != Z_STREAM_END)) {
        if (code == Z_ERRNO)
            throw Error("cannot read " + path_ + ": " + std::strerror(errno));
        // zlib names the stream "<fd:N>" where it was opened on a descriptor:
        // the path it names when it opens the file itself.
        std::string message = what;
        if (message.rfind("<fd:", 0) == 0 && message.find(">: ") != std::string::npos)
            message = path_ + message.substr(message.find(">: ") + 1);
        throw Error("cannot read " + path_ + ": " + message);
    }
    return got > 0 ? static_cast<size_t>(got) : 0;
#else
    (void)to;
    (void)n;
    return 0;
#endif
}

}  // namespace front
