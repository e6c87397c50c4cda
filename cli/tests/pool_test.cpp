// The worker pool and its messages: what a worker sends arrives whole and by
// name, however long; a worker's failure or death is reported with how it
// ended; and no worker outlives the process that started it.
#include "error.h"
#include "message.h"
#include "pool.h"
#include "tuning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using cli::Message;

double with_bits(std::uint64_t bits)
{
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

TEST(Message, CarriesNumbersBitForBitAndTextsOfAnyLength)
{
    const std::vector<double> numbers = {0.0, -0.0, 0.1, 1e-310, std::numeric_limits<double>::infinity(),
                                         with_bits(0x7ff8000000000123ULL), with_bits(0xfff0000000000001ULL)};
    const std::vector<std::string> texts = {"", std::string("a\0b", 3), std::string(1 << 20, 'x'), "caf\xc3\xa9\n"};
    Message m;
    for (size_t i = 0; i < numbers.size(); ++i)
        m.set("n" + std::to_string(i), numbers[i]);
    for (size_t i = 0; i < texts.size(); ++i)
        m.set_text("t" + std::to_string(i), texts[i]);
    const Message back = Message::decode(m.encode());
    EXPECT_TRUE(back == m);
    for (size_t i = 0; i < numbers.size(); ++i) {
        const double got = back.number("n" + std::to_string(i));
        EXPECT_EQ(std::memcmp(&got, &numbers[i], sizeof got), 0) << i;
    }
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(back.text("t" + std::to_string(i)), texts[i]) << i;
}

TEST(Message, RefusesWhatIsNotAWholeMessageAndNamesMissingFields)
{
    Message m;
    m.set("correct", 3);
    m.set_text("model", "quorv-model 1\n");
    const std::string bytes = m.encode();
    const struct {
        std::string bytes, error;
    } cases[] = {
        {bytes.substr(0, bytes.size() - 1), "a worker's message is cut short"},
        {bytes.substr(0, 5), "a worker's message is cut short"},
        {bytes + bytes, "*twice"},
        {std::string(8, '\0') + "?", "a worker's message has a field of unknown kind"},
    };
    for (const auto &c : cases) {
        try {
            Message::decode(c.bytes);
            ADD_FAILURE() << "accepted " << c.error;
        } catch (const cli::Error &e) {
            if (c.error[0] == '*')
                EXPECT_NE(std::string(e.what()).find(c.error.substr(1)), std::string::npos) << e.what();
            else
                EXPECT_EQ(e.what(), c.error);
        }
    }
    EXPECT_THROW(m.number("nodes"), cli::Error);
    EXPECT_THROW(m.number("model"), cli::Error);  // a text, not a number
    EXPECT_THROW(m.text("correct"), cli::Error);
    try {
        m.number("nodes");
    } catch (const cli::Error &e) {
        EXPECT_STREQ(e.what(), "a worker's message has no 'nodes'");
    }
}

// Task i answers with its index and a text whose length grows with i, past
// what a pipe holds at once.
Message answer(size_t i)
{
    Message m;
    m.set("index", static_cast<double>(i));
    m.set("pid", static_cast<double>(getpid()));
    m.set_text("text", std::string(i * 37000, static_cast<char>('a' + i % 26)));
    return m;
}

TEST(Pool, GivesEveryResultOnceWhateverTheNumberOfWorkers)
{
    for (const size_t workers : {1u, 2u, 3u, 50u}) {
        const size_t n = 17;
        std::vector<int> seen(n, 0);
        std::vector<double> pids;
        cli::run_in_workers(n, workers, answer, [&](size_t i, const Message &m) {
            ++seen[i];
            EXPECT_EQ(m.number("index"), static_cast<double>(i));
            EXPECT_EQ(m.text("text"), answer(i).text("text"));
            pids.push_back(m.number("pid"));
        });
        EXPECT_EQ(seen, std::vector<int>(n, 1)) << workers;
        const bool here = std::all_of(pids.begin(), pids.end(), [](double p) { return p == getpid(); });
        EXPECT_EQ(here, cli::pool_workers(workers, n) == 1) << workers;
    }
    EXPECT_EQ(cli::pool_workers(8, 3), 3u);
    EXPECT_EQ(cli::pool_workers(2, 0), 1u);
    EXPECT_GE(cli::usable_cores(), 1u);
}

TEST(Pool, SaysHowAFailedOrDeadWorkerEnded)
{
    const struct {
        const char *what;
        void (*end)();
        std::string error;
    } cases[] = {
        {"throws", [] { throw cli::Error("fold 3: no rows"); }, "fold 3: no rows"},
        {"exits", [] { _exit(3); }, "a worker process ended unexpectedly (exit status 3)"},
        {"is killed", [] { kill(getpid(), SIGKILL); }, "a worker process ended unexpectedly (killed by SIGKILL)"},
        {"aborts", [] { raise(SIGABRT); }, "a worker process ended unexpectedly (killed by SIGABRT)"},
        {"is stopped by the CPU limit", [] { raise(SIGXCPU); },
         "a worker process ended unexpectedly (killed by SIGXCPU)"},
    };
    for (const auto &c : cases) {
        size_t done = 0;
        try {
            cli::run_in_workers(6, 2, [&](size_t i) {
                if (i == 4)
                    c.end();
                return answer(0);
            }, [&](size_t, const Message &) { ++done; });
            ADD_FAILURE() << c.what;
        } catch (const cli::Error &e) {
            EXPECT_EQ(e.what(), c.error) << c.what;
        }
        EXPECT_LT(done, 6u) << c.what;
    }
}

bool running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // Gone, or a zombie that whoever adopted it has not reaped yet.
    return !text.empty() && text.find(") Z ") == std::string::npos;
}

TEST(Pool, WorkersEndWhenTheirParentIsKilled)
{
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t tool = fork();
    if (tool == 0) {
        close(report[0]);
        cli::run_in_workers(4, 2, [&](size_t) {
            const pid_t me = getpid();
            if (write(report[1], &me, sizeof me) != sizeof me)
                _exit(1);
            sleep(60);
            return Message();
        }, [](size_t, const Message &) {});
        _exit(0);
    }
    close(report[1]);
    pid_t workers[2];
    for (pid_t &w : workers)
        ASSERT_EQ(read(report[0], &w, sizeof w), static_cast<ssize_t>(sizeof w));
    close(report[0]);
    for (pid_t w : workers)
        EXPECT_TRUE(running(w));
    kill(tool, SIGKILL);  // no handler runs: only the kernel can end the workers
    waitpid(tool, nullptr, 0);
    for (pid_t w : workers) {
        for (int tries = 0; tries < 100 && running(w); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(running(w)) << w;
    }
}

TEST(Tuning, PluginThreadsCappedOnlyWhileSeveralWorkersRun)
{
    const char *const kName = "QUORV_THREADS";
    const char *const given = std::getenv(kName);
    const std::string outside = given ? given : "";
    const struct {
        const char *before;  // null: unset
        size_t workers;
        const char *during;
    } cases[] = {{nullptr, 2, "1"}, {nullptr, 1, nullptr}, {"3", 4, "3"}, {"0", 2, "0"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.workers) + " workers, before " + (c.before ? c.before : "unset"));
        if (c.before)
            setenv(kName, c.before, 1);
        else
            unsetenv(kName);
        const auto value = [&] { return std::string(std::getenv(kName) ? std::getenv(kName) : "unset"); };
        {
            const cli::OneThreadPerWorker cap(c.workers);
            EXPECT_EQ(value(), c.during ? c.during : "unset");
        }
        EXPECT_EQ(value(), c.before ? c.before : "unset");
    }
    if (given)
        setenv(kName, outside.c_str(), 1);
    else
        unsetenv(kName);
}

}  // namespace
