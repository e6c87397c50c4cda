// The plug-ins in a second host built from the same header: its predicates
// return bool with garbage above %al, and it has no flop counter, as current
// hosts have none. The class checks must hold there (the hostile-argument
// suite is built into this program too) and every call must answer as in the
// embedded host, whose transcript a child process writes.
#include <gtest/gtest.h>

#if QUORV_STRICT_HOST
#include "strict_host/transcript.h"
#include "support.h"

#include <dlfcn.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <sstream>

extern "C" std::uint64_t strict_host_raw_answer(const void *predicate, const mxArray *a);

namespace {

std::string output_of(const char *program)
{
    FILE *pipe = ::popen(program, "r");
    if (!pipe)
        return "";
    std::string out;
    char buf[65536];
    for (size_t k; (k = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, k);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program << " failed";
    return out;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        v.push_back(line);
    return v;
}

}  // namespace

TEST(StrictHost, PredicatesLeaveGarbageAboveTheBoolAndNoFlopCounterIsExported)
{
    const minihost::Array dbl = minihost::make_double(2, 2);
    const minihost::Array int8 = minihost::make_array({2, 2}, mxINT8_CLASS);
    const struct {
        const char *name;
        const mxArray *arg;
        bool answer;
    } cases[] = {{"mxIsDouble", dbl.get(), true}, {"mxIsDouble", int8.get(), false},
                 {"mxIsNumeric", int8.get(), true}, {"mxIsComplex", dbl.get(), false},
                 {"mxIsSparse", dbl.get(), false}, {"mxIsLogical", dbl.get(), false}};
    for (const auto &c : cases) {
        const void *predicate = ::dlsym(RTLD_DEFAULT, c.name);
        ASSERT_NE(predicate, nullptr) << c.name;
        const std::uint64_t rax = strict_host_raw_answer(predicate, c.arg);
        EXPECT_EQ(rax & 0xFF, c.answer ? 1u : 0u) << c.name;
        EXPECT_NE(rax >> 8 & 0xFFFFFF, 0u) << c.name << ": no garbage in bits 8 to 31";
    }
    EXPECT_EQ(::dlsym(RTLD_DEFAULT, "mexAddFlops"), nullptr);
}

TEST(StrictHost, CallsAnswerAsInTheEmbeddedHost)
{
    const std::vector<std::string> here = lines(qt::transcript());
    const std::vector<std::string> there = lines(output_of(QUORV_TRANSCRIPT_PROGRAM));
    ASSERT_GT(there.size(), 100u);
    for (size_t i = 0; i < here.size() && i < there.size(); ++i)
        ASSERT_EQ(here[i], there[i]) << "line " << i + 1 << " of the transcripts";
    EXPECT_EQ(here.size(), there.size());
}

#else

TEST(StrictHost, NeedsAnX86_64Processor)
{
    GTEST_SKIP() << "the strict host's predicates are x86-64 assembly";
}

#endif
