// Gzip model files: whatever the bytes, GzipInput gives what zlib's own
// stream reader gives (the text, or a refusal with its message), whether the
// members are ours or another writer's.
#ifdef QUORV_TEST_ZLIB
#include "front/error.h"
#include "front/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

std::string lines_of(size_t bytes)
{
    std::string text;
    for (unsigned i = 0; text.size() < bytes; ++i)
        text += "node " + std::to_string(i % 7) + " 0." + std::to_string(i * 2654435761u) + " 1\n";
    text.resize(bytes);
    return text;
}

// The text or "refused: MESSAGE", by our reader or by zlib's.
std::string read_ours(const std::string &path)
{
    try {
        front::GzipInput in(path);
        std::string text;
        char block[65536];
        while (const size_t got = in.read(block, sizeof block))
            text.append(block, got);
        return text;
    } catch (const front::Error &e) {
        return std::string("refused: ") + e.what();
    }
}

std::string read_zlib(const std::string &path)
{
    gzFile gz = gzopen(path.c_str(), "rb");
    std::string text;
    char block[65536];
    int got, code = Z_OK;
    while ((got = gzread(gz, block, sizeof block)) > 0)
        text.append(block, static_cast<size_t>(got));
    const char *what = gzerror(gz, &code);
    const std::string message = got < 0 || (code != Z_OK && code != Z_STREAM_END) ? what : "";
    gzclose(gz);
    return message.empty() ? text : "refused: cannot read " + path + ": " + message;
}

std::string zlib_gzip(const std::string &text)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef *>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(FrontGzip, ReadsWhatZlibReads)
{
    const std::string big = lines_of(front::kGzipMemberText * 5 / 2), small = lines_of(1000);
    const std::string ours = front::gzip_text(big), theirs = zlib_gzip(big);
    const std::string cases[] = {
        front::gzip_text(""), front::gzip_text(small), ours, theirs,
        ours + theirs,                              // another writer's member after ours
        ours + "trailing junk",                    // ignored after the last member
        ours + "\x1f",
        ours + "\x1f\x8b",                          // a header cut short
        ours.substr(0, ours.size() / 2),            // a member cut short
        ours.substr(0, ours.size() - 3),            // its trailer cut short
        theirs.substr(0, theirs.size() / 3),
        small,                                      // not gzip: zlib reads it as it is
        "",
    };
    const std::string path = testing::TempDir() + "gzip_test.gz";
    int n = 0;
    for (const std::string &bytes : cases) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        const std::string want = read_zlib(path);
        const std::string got = read_ours(path);
        EXPECT_EQ(got.size(), want.size()) << "case " << n;
        EXPECT_TRUE(got == want) << "case " << n << ": " << got.substr(0, 200) << " / " << want.substr(0, 200);
        ++n;
    }
    // Ours are members of at most kGzipMemberText bytes of text: three here.
    std::ofstream(path, std::ios::binary | std::ios::trunc) << ours;
    EXPECT_EQ(read_ours(path), big);
    size_t members = 0;
    for (size_t at = 0; (at = ours.find("\x1f\x8b\x08", at)) != std::string::npos; ++at)
        ++members;
    EXPECT_GE(members, 3u);
    std::remove(path.c_str());

    // Through a pipe, which cannot seek back: a stream of one large member.
    const std::string fifo = testing::TempDir() + "gzip_test_fifo.gz";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << theirs; });
    EXPECT_TRUE(read_ours(fifo) == big);
    writer.join();
    std::remove(fifo.c_str());
}

}  // namespace
#endif
