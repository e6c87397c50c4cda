// Output files as every front end writes them: links, FIFOs, modes and
// read-only folders, and no temporary left by a signal whose handler asks
// for the clean-up, with nothing process-wide changed by the library.
#include "front/error.h"
#include "front/files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <sched.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class FrontFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(testing::TempDir()) / ("front_files_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        fs::permissions(dir, fs::perms::owner_all);
        fs::remove_all(dir);
    }
    std::string at(const char *name) const { return (dir / name).string(); }
    static std::string slurp(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    size_t temporaries() const
    {
        size_t n = 0;
        for (const auto &entry : fs::directory_iterator(dir))
            n += entry.path().filename().string().find(".tmp-") != std::string::npos;
        return n;
    }
    fs::path dir;
};

TEST_F(FrontFiles, LinksModesAndFifosAreKept)
{
    std::ofstream(at("real")) << "old";
    fs::create_symlink("real", at("link"));
    front::write_file_atomically(at("link"), "through the link");
    EXPECT_TRUE(fs::is_symlink(at("link")));
    EXPECT_EQ(slurp(at("real")), "through the link");

    std::ofstream(at("private")) << "old";
    chmod(at("private").c_str(), 0600);
    fs::create_hard_link(at("private"), at("second"));
    front::write_file_atomically(at("private"), "both names");
    EXPECT_EQ(slurp(at("second")), "both names");
    struct stat s;
    ASSERT_EQ(stat(at("private").c_str(), &s), 0);
    EXPECT_EQ(s.st_mode & 07777, 0600u);
    EXPECT_EQ(s.st_nlink, 2u);

    // A new file gets the umask's mode, and the umask is left as it was.
    const mode_t mask = umask(027);
    front::write_file_atomically(at("new"), "x");
    ASSERT_EQ(stat(at("new").c_str(), &s), 0);
    EXPECT_EQ(s.st_mode & 07777, 0640u);
    EXPECT_EQ(umask(mask), 027u);

    // A FIFO is written in place, so that its reader gets the bytes.
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] { got = slurp(at("fifo")); });
    front::write_file_atomically(at("fifo"), "through the fifo");
    reader.join();
    EXPECT_EQ(got, "through the fifo");
    EXPECT_EQ(temporaries(), 0u);
}

TEST_F(FrontFiles, RefusalsLeaveNothingBehind)
{
    std::ofstream(at("input")) << "data";
    EXPECT_THROW(front::OutputFile(at("input"), {at("input")}), front::Error);
    fs::create_symlink("nowhere", at("dangling"));
    EXPECT_THROW(front::OutputFile(at("dangling"), {}), front::Error);
    {
        front::OutputFile out(at("unfinished"), {});
        out.write("half");
        EXPECT_EQ(temporaries(), 1u);
    }  // never committed
    EXPECT_EQ(temporaries(), 0u);
    EXPECT_FALSE(fs::exists(at("unfinished")));
    EXPECT_EQ(slurp(at("input")), "data");
}

TEST_F(FrontFiles, AReadOnlyFolderIsRefusedAtOnce)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(front::OutputFile(at("new"), {}), front::Error);
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(temporaries(), 0u);
}

extern "C" void clean_and_die(int signal_number)
{
    front::remove_unfinished_outputs();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

TEST_F(FrontFiles, ASignalHandlerRemovesTheTemporariesOfEveryOpenOutput)
{
    for (int sig : {SIGXCPU, SIGUSR1, SIGALRM, SIGTERM}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(sig, clean_and_die);
            front::OutputFile a(at("a"), {}), b(at("b"), {});
            a.write("unfinished");
            raise(sig);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
        EXPECT_EQ(temporaries(), 0u) << sig;
    }
}

// Runs `work` in a child whose SIGTERM handler removes the unfinished
// outputs, and sends it SIGTERM after a pseudo-random wait of `least` plus up
// to `spread` microseconds: whether the signal ended it.
bool ended_by_sigterm(unsigned *seed, unsigned least, unsigned spread, const std::function<void()> &work)
{
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        std::signal(SIGTERM, clean_and_die);
        work();
        _exit(0);
    }
    *seed = *seed * 1103515245u + 12345u;
    usleep(least + (*seed >> 16) % spread);
    kill(child, SIGTERM);
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
}

// The signal may come at any moment of an output's life, as its temporary is
// created or removed included: none may be left.
TEST_F(FrontFiles, ASignalAtAnyMomentLeavesNoTemporary)
{
    unsigned seed = 12345;
    for (int trial = 0; trial < 300; ++trial) {
        ASSERT_TRUE(ended_by_sigterm(&seed, 200, 800, [this] {
            for (;;) {
                front::OutputFile out(at("m"), {});
                out.write("unfinished");
            }
        })) << trial;
        ASSERT_EQ(temporaries(), 0u) << "trial " << trial;
    }
}

// A file with two names is rewritten in place; a signal during the copy must
// still leave it the old file or the whole new one, never a mixture.
TEST_F(FrontFiles, ASignalDuringAnInPlaceRewriteLeavesTheOldOrTheNewFile)
{
    const std::string a(3 << 20, 'a'), b(5 << 20, 'b');
    std::ofstream(at("m")) << a;
    fs::create_hard_link(at("m"), at("other name"));
    unsigned seed = 777;
    for (int trial = 0; trial < 40; ++trial) {
        ASSERT_TRUE(ended_by_sigterm(&seed, 2000, 40000, [&] {
            for (int k = 1;; ++k)
                front::write_file_atomically(at("m"), k % 2 ? b : a);
        })) << trial;
        const std::string now = slurp(at("other name"));
        ASSERT_TRUE(now == a || now == b) << "trial " << trial << ": " << now.size() << " bytes, neither old nor new";
        ASSERT_EQ(temporaries(), 0u) << "trial " << trial;
    }
}

// A disk too full for the new content: the file with two names is left as it
// was, nothing else is left behind, and a content that fits is written.
TEST_F(FrontFiles, AFullDiskLeavesAFileWithTwoNamesAsItWas)
{
    const std::string small = at("small");
    fs::create_directory(small);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A small file system of its own, seen by this child alone.
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
            _exit(77);
        const std::string m = small + "/m", other = small + "/other", old(10000, 'o');
        std::ofstream(m) << old;
        fs::create_hard_link(m, other);
        int failures = 0;
        const auto check = [&failures](bool ok, const char *what) {
            if (!ok)
                std::fprintf(stderr, "FAILED: %s\n", what), ++failures;
        };
        try {
            front::write_file_atomically(m, std::string(200000, 'n'));
            check(false, "no error for a disk too full");
        } catch (const front::Error &e) {
            check(std::string(e.what()) == "cannot write " + m + ": No space left on device", e.what());
        }
        check(slurp(other) == old, "the old file changed");
        size_t entries = 0;
        for (const auto &entry : fs::directory_iterator(small))
            entries += entry.is_regular_file();
        check(entries == 2, "a temporary was left");
        front::write_file_atomically(m, std::string(50000, 'f'));
        check(slurp(other) == std::string(50000, 'f'), "a content that fits was not written");
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot mount a small file system here (not root)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
