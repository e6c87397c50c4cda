// The tool as a careless user or an attacker would use it: outputs that could
// destroy inputs, signals from outside, hostile or huge names, grids too large
// to run, columns that could be mistaken for one another, standard input.
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;  // exit status, or 128 + the signal
    std::string out, err;
};

std::string slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void put(const fs::path &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

const std::string kIris = std::string(QUORV_SOURCE_DATA_DIR) + "/iris.csv";

class Safety : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quorv_safety_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Starts quorv in the test's folder with `input` as its standard input
    // (a file of the folder, or /dev/null when empty); output to files.
    pid_t start(const std::vector<std::string> &args, const std::string &input = "") const
    {
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(127);
            setpgid(0, 0);  // a group of its own, so that its workers can be found
            dup2(open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY), 0);
            dup2(open((dir / ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open((dir / ".stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            std::vector<char *> argv = {const_cast<char *>(QUORV_EXE)};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }
    Outcome finish(pid_t pid) const
    {
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        Outcome run;
        run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        run.out = slurp(dir / ".stdout");
        run.err = slurp(dir / ".stderr");
        fs::remove(dir / ".stdout");
        fs::remove(dir / ".stderr");
        return run;
    }
    Outcome quorv(const std::vector<std::string> &args, const std::string &input = "") const
    {
        return finish(start(args, input));
    }

    // Files the folder holds (the run's own output files aside).
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.path().filename().string()[0] != '.' || has(entry.path().filename().string(), ".tmp-"))
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
};

}  // namespace

namespace {

TEST_F(Safety, TuneCountsTheWorkersThatRun)
{
    put(dir / "d.csv", slurp(kIris));
    for (const auto &[jobs, says] : std::vector<std::pair<std::string, std::string>>{
             {"1", ", 1 worker\n"}, {"3", ", 3 workers\n"}, {"200", ", 4 workers\n"}}) {
        const Outcome run = quorv({"tune", "d.csv", "--vigilance", "0.7,0.8", "--learning-rate", "1", "--folds", "2",
                                   "--jobs", jobs});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(has(run.out.substr(0, run.out.find('\n') + 1), says)) << run.out;
    }
}

}  // namespace
