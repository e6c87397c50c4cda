// What the tool's end-to-end tests share: a folder of its own for each test,
// removed afterwards; the built tool run in it as from a shell, its exit
// status, standard output and error captured (set QUORV_TEST_WRAPPER="valgrind
// -q --error-exitcode=99" to run it under a checker where a test allows);
// whole files read and written as bytes.
#ifndef QUORV_CLI_TESTS_TOOL_TEST_H
#define QUORV_CLI_TESTS_TOOL_TEST_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tool_test {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;  // exit status, or 128 + the signal
    std::string out, err;
    long peak_kb = 0;  // the program's peak resident memory
};

inline std::string slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void put(const fs::path &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

inline bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

inline size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A bundled data set, by file name.
inline std::string data_file(const std::string &name) { return std::string(QUORV_SOURCE_DATA_DIR) + "/" + name; }

// How a run is started.
struct Launch {
    std::string input;              // a file of the folder for standard input; empty: /dev/null
    std::vector<std::string> env;   // NAME=VALUE entries added to the environment
    bool wrapper = false;           // under QUORV_TEST_WRAPPER, when it is set
    bool own_group = false;         // in a process group of its own, so that its workers can be found
};

// Starts quorv with `args` in `dir`, its output to dir/.stdout and dir/.stderr.
inline pid_t start_tool(const fs::path &dir, const std::vector<std::string> &args, const Launch &how = {})
{
    std::vector<std::string> argv;
    if (const char *wrapper = std::getenv("QUORV_TEST_WRAPPER"); wrapper && how.wrapper) {
        std::istringstream words(wrapper);
        for (std::string w; words >> w;)
            argv.push_back(w);
    }
    argv.push_back(QUORV_EXE);
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        if (how.own_group)
            setpgid(0, 0);
        for (int s = 1; s < NSIG; ++s)
            signal(s, SIG_DFL);  // as from a shell, whatever the test runner ignores
        for (const std::string &e : how.env)
            putenv(const_cast<char *>(e.c_str()));
        dup2(open(how.input.empty() ? "/dev/null" : how.input.c_str(), O_RDONLY), 0);
        dup2(open((dir / ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open((dir / ".stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        std::vector<char *> c_argv;
        for (const std::string &a : argv)
            c_argv.push_back(const_cast<char *>(a.c_str()));
        c_argv.push_back(nullptr);
        execvp(c_argv[0], c_argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for a run started in `dir` and collects what it left.
inline Outcome finish_tool(const fs::path &dir, pid_t pid)
{
    int wstatus = 0;
    struct rusage usage {};
    wait4(pid, &wstatus, 0, &usage);
    Outcome run;
    run.peak_kb = usage.ru_maxrss;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    run.out = slurp(dir / ".stdout");
    run.err = slurp(dir / ".stderr");
    fs::remove(dir / ".stdout");
    fs::remove(dir / ".stderr");
    return run;
}

// A test with a fresh folder /tmp/PREFIX_XXXXXX of its own.
class FolderTest : public ::testing::Test {
protected:
    explicit FolderTest(const char *prefix) : prefix_(prefix) {}
    void SetUp() override
    {
        std::string pattern = "/tmp/" + prefix_ + "_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;

private:
    std::string prefix_;
};

}  // namespace tool_test

#endif
