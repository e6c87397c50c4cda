// The embedded host: arrays, host memory, calls into a plug-in, and loading.
#include "minihost.h"
#include "sha256.h"

#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

using namespace minihost;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

const double inf = std::numeric_limits<double>::infinity();
const size_t huge = std::numeric_limits<size_t>::max() / 2;

std::vector<char> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A copy of a plug-in, with its digest beside it as the build records it (so
// that the checks after the digest see it), unless `digest` says otherwise.
std::string temp_file(const std::vector<char> &bytes, const std::string *digest = nullptr) {
    const std::string path = testing::TempDir() + "minihost_" + std::to_string(getpid()) + ".mexa64";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Sha256 sha;
    sha.update(bytes.data(), bytes.size());
    std::ofstream(path + ".sha256") << (digest ? *digest : sha.hex() + "  minihost.mexa64\n");
    return path;
}

void remove_temp(const std::string &path) {
    unlink(path.c_str());
    unlink((path + ".sha256").c_str());
}

std::string load_error(const std::string &path) {
    std::string error;
    EXPECT_EQ(Plugin::load(path, &error), nullptr) << path;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "not one line: " << error;
    return error;
}

}  // namespace

TEST(Arrays, ScalarReadsConvertToTheClass) {
    const struct {
        mxClassID cls;
        double given, read;
    } cases[] = {
        {mxSINGLE_CLASS, 0.1, static_cast<double>(0.1f)}, {mxSINGLE_CLASS, 1e300, inf},
        {mxINT8_CLASS, 300, 127},         {mxINT8_CLASS, -300, -128},
        {mxUINT8_CLASS, -5, 0},           {mxINT16_CLASS, 2.5, 3},  // halves away from zero
        {mxINT32_CLASS, -2.5, -3},        {mxUINT32_CLASS, 1e10, 4294967295.0},
        {mxINT64_CLASS, std::nan(""), 0}, {mxINT64_CLASS, -inf, -9223372036854775808.0},
        {mxUINT64_CLASS, 1e30, 18446744073709551615.0}, {mxLOGICAL_CLASS, 7, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mxGetScalar(make_array({1, 1}, c.cls, false, {c.given}).get()), c.read)
            << "class " << c.cls << " given " << c.given;
    EXPECT_EQ(mxGetScalar(make_char("A").get()), 65);
    EXPECT_EQ(mxGetScalar(make_cell(1, 1).get()), 0);
    EXPECT_EQ(mxGetScalar(make_double(0, 3).get()), 0);
}

TEST(Arrays, ShapesDropTrailingSingletonsOnly) {
    const struct {
        std::vector<size_t> given, reported;
        size_t n;
    } cases[] = {
        {{2, 3, 1}, {2, 3}, 3}, {{2, 1, 3}, {2, 1, 3}, 3}, {{2, 3, 4, 1}, {2, 3, 4}, 12},
        {{4}, {4, 1}, 1},       {{3, 0, 2}, {3, 0, 2}, 0},
    };
    for (const auto &c : cases) {
        Array a = make_array(c.given, mxINT16_CLASS);
        EXPECT_EQ(dims(a.get()), c.reported);
        EXPECT_EQ(mxGetN(a.get()), c.n);
        EXPECT_EQ(mxGetNumberOfElements(a.get()), c.n * c.given[0]);
        EXPECT_NE(mxGetPr(a.get()), nullptr);  // even when empty
    }
}

TEST(Arrays, MakersLayOutData) {
    EXPECT_EQ(values(make_row_major(2, 3, {1, 2, 3, 4, 5, 6}).get()), (std::vector<double>{1, 4, 2, 5, 3, 6}));
    EXPECT_EQ(values(make_double(2, 2).get()), std::vector<double>(4, 0.0));
    // UTF-8 in, UTF-16 code units out; a stray continuation byte is replaced.
    EXPECT_EQ(values(make_char("h\xc3\xa9\xf0\x9f\x98\x80\x80").get()),
              (std::vector<double>{'h', 0xE9, 0xD83D, 0xDE00, 0xFFFD}));

    Array z = make_array({2, 1}, mxINT8_CLASS, true, {1, 2}, {-3, 4});
    Array copy = duplicate(z.get());
    static_cast<signed char *>(mxGetData(copy.get()))[0] = 9;
    EXPECT_EQ(values(z.get()), (std::vector<double>{1, 2}));
    EXPECT_EQ(static_cast<signed char *>(static_cast<void *>(mxGetPi(copy.get())))[1], 4);
    Array s = make_sparse(3, 4);
    EXPECT_TRUE(mxIsSparse(s.get()) && mxIsDouble(s.get()));
    EXPECT_EQ(values(s.get()), std::vector<double>(12, 0.0));
    EXPECT_FALSE(mxIsNumeric(make_array({1}, mxLOGICAL_CLASS).get()) || mxIsNumeric(make_char("x").get()));
}

TEST(Arrays, ImpossibleRequestsAreRefused) {
    EXPECT_THROW(make_row_major(2, 2, {1}), std::invalid_argument);
    EXPECT_THROW(make_array({2}, mxDOUBLE_CLASS, true, {1, 2}, {1}), std::invalid_argument);
    EXPECT_THROW(make_array({1}, mxLOGICAL_CLASS, true), std::invalid_argument);
    const mwSize too_many[2] = {huge, 3};
    EXPECT_EQ(mxCreateNumericArray(2, too_many, mxUINT8_CLASS, mxREAL), nullptr);
    EXPECT_EQ(mxCreateNumericArray(1, too_many, mxCHAR_CLASS, mxREAL), nullptr);
    EXPECT_EQ(mxCreateNumericArray(1, too_many, mxLOGICAL_CLASS, mxCOMPLEX), nullptr);
}

TEST(Memory, BlocksLiveUntilFreedOrReleased) {
    reset_host_faults();
    const long before = live_blocks();
    void *a = mxCalloc(0, 8);
    void *b = mxCalloc(0, 8);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(mxCalloc(huge, 4), nullptr);

    auto *p = static_cast<unsigned char *>(mxRealloc(nullptr, 16));  // zero-filled, as mxCalloc
    ASSERT_TRUE(p && p[15] == 0);
    p[0] = 42;
    p = static_cast<unsigned char *>(mxRealloc(p, 1 << 20));
    ASSERT_TRUE(p && p[0] == 42);
    EXPECT_EQ(live_blocks(), before + 3);

    int local = 0;
    mxFree(&local);  // not a host block: refused, not freed
    EXPECT_EQ(mxRealloc(&local, 8), nullptr);
    EXPECT_EQ(host_faults(), 2);
    mxFree(a);
    mxFree(nullptr);
    EXPECT_EQ(live_blocks(), before + 2);
    release_blocks();
    EXPECT_EQ(live_blocks(), 0);
}

TEST(Memory, FailureHookHitsTheKthApiAllocationOnce) {
    reset_allocation_count();
    fail_allocation(3);
    Array host_made = make_double(2, 2);  // the host program's own arrays do not count
    void *first = mxCalloc(1, 1);
    mxArray *second = mxCreateDoubleScalar(1);
    EXPECT_TRUE(first && second);
    EXPECT_EQ(mxCreateDoubleMatrix(1, 1, mxREAL), nullptr);
    EXPECT_NE(mxCalloc(1, 1), nullptr);
    EXPECT_EQ(allocation_count(), 4);
    mxDestroyArray(second);
    release_blocks();
}

TEST(MemoryDeathTest, ErrorOutsideACallAborts) { EXPECT_DEATH(mexErrMsgTxt("nobody listens"), "nobody listens"); }

class Calls : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        plugin = Plugin::load(ECHO_PLUGIN, &error);
        ASSERT_NE(plugin, nullptr) << error;
        blocks = live_blocks();
        arrays = live_arrays();
    }
    void TearDown() override {
        fail_allocation(0);
        EXPECT_EQ(live_blocks(), blocks) << "blocks left after the calls";
        EXPECT_EQ(live_arrays(), arrays) << "arrays left after the calls";
    }
    CallResult run(const std::string &cmd, int nlhs = 1, const mxArray *arg = nullptr) {
        Array c = make_char(cmd);
        std::vector<const mxArray *> in{c.get()};
        if (arg) in.push_back(arg);
        return plugin->call(nlhs, in);
    }
    std::unique_ptr<Plugin> plugin;
    long blocks = 0, arrays = 0;
};

TEST_F(Calls, ConsoleCapturesPrintsAndWarningsInOrder) {
    CallResult r = run("print");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.console, "x=42;" + std::string(5000, 'a') + "|\n");
    EXPECT_EQ(mxGetScalar(r.outputs.at(0).get()), r.console.size());
    EXPECT_EQ(run("warn", 0).console, "before\nWarning: results may be inaccurate\nafter\n");
}

TEST_F(Calls, ErrorEndsTheCallWithItsText) {
    Array text = make_char("Wrong type: expected a double matrix.");
    CallResult r = run("error", 1, text.get());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Wrong type: expected a double matrix.");
    EXPECT_EQ(r.console, "partial\n");
    ASSERT_EQ(r.outputs.size(), 1u);
    EXPECT_EQ(mxGetScalar(r.outputs[0].get()), 7);  // kept, so tests can see what was written
}

// Blocks made in a call: few, a page's worth, and more than the host keeps in
// pages for a call (the rest from the heap); each count twice, so that the
// second call reuses the pages the first left. Every block comes zeroed and
// keeps its bytes through frees and moves of the others; a double free and an
// inner address are refused; nothing is left after the call.
TEST_F(Calls, BlocksStayTheirOwnAcrossPagesAndTheHeap) {
    for (const double n : {8.0, 8.0, 400.0, 30000.0, 30000.0, 8.0}) {
        reset_host_faults();
        Array count = make_scalar(n);
        CallResult r = run("blocks", 1, count.get());
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(mxGetScalar(r.outputs.at(0).get()), 0) << n << " blocks: bytes not their own";
        EXPECT_EQ(host_faults(), 2) << n << " blocks";
        EXPECT_EQ(live_blocks(), blocks) << n << " blocks";
    }
    reset_host_faults();
}

TEST_F(Calls, LeftoversAreReleasedAndEveryFailedAllocationReported) {
    reset_allocation_count();
    CallResult r = run("alloc");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(live_blocks(), blocks);
    EXPECT_EQ(live_arrays(), arrays + 1);  // the output only
    const long n = allocation_count();
    ASSERT_EQ(n, 5);
    for (long k = 1; k <= n + 1; ++k) {
        fail_allocation(k);
        r = run("alloc");
        EXPECT_EQ(r.error, k <= n ? "out of memory" : "") << "failing allocation " << k;
        EXPECT_EQ(live_blocks(), blocks);
    }
}

TEST_F(Calls, OutputSlotsHoldOwnArrays) {
    const struct {
        const char *cmd;
        int nlhs;
        double arg;
        std::vector<double> got;  // -1 for an empty slot
    } cases[] = {
        {"outputs", 0, 0, {}},          {"outputs", 0, 1, {1}}, {"outputs", 3, 2, {1, 2, -1}},
        {"same-twice", 2, 0, {3, 3}},   {"return-input", 2, 3, {3, 3}},
    };
    for (const auto &c : cases) {
        Array arg = make_scalar(c.arg);
        CallResult r = run(c.cmd, c.nlhs, arg.get());
        ASSERT_TRUE(r.ok) << c.cmd << ": " << r.error;
        ASSERT_EQ(r.outputs.size(), c.got.size()) << c.cmd;
        for (size_t i = 0; i < c.got.size(); ++i) {
            EXPECT_EQ(r.outputs[i] ? mxGetScalar(r.outputs[i].get()) : -1, c.got[i]) << c.cmd << " slot " << i;
            EXPECT_NE(r.outputs[i].get(), arg.get());
            EXPECT_TRUE(i == 0 || !r.outputs[i] || r.outputs[i] != r.outputs[0]) << c.cmd;
        }
    }
}

TEST_F(Calls, MisuseIsSurvivedAndReported) {
    const struct { const char *cmd; std::string error; long faults; } cases[] = {
        {"return-dead", "plug-in returned an invalid array in output 1", 1},
        {"destroy-input", "", 1},
        {"throw", "unexpected C++ exception from plug-in: boom", 0},
    };
    for (const auto &c : cases) {
        reset_host_faults();
        Array input = make_scalar(5);
        CallResult r = run(c.cmd, 1, input.get());
        EXPECT_EQ(r.ok, c.error.empty()) << c.cmd;
        EXPECT_EQ(r.error, c.error) << c.cmd;
        EXPECT_EQ(host_faults(), c.faults) << c.cmd;
        EXPECT_EQ(mxGetScalar(input.get()), 5) << c.cmd;
    }
}

TEST_F(Calls, ReloadingStartsStaticStateAnew) {
    EXPECT_EQ(mxGetScalar(run("count").outputs.at(0).get()), 1);
    EXPECT_EQ(mxGetScalar(run("count").outputs.at(0).get()), 2);
    plugin.reset();  // a load while still loaded shares the loaded image
    SetUp();
    EXPECT_EQ(mxGetScalar(run("count").outputs.at(0).get()), 1);
}

TEST(Loader, RefusesWhatIsNoPlugin) {
    const std::string text = temp_file({'h', 'i', '\n'});
    const std::string dir = testing::TempDir();
    const std::string cases[][2] = {
        {"/nonexistent/p.mexa64", "cannot open /nonexistent/p.mexa64: No such file or directory"},
        {dir, "cannot open " + dir + ": Is a directory"},
        {text, text + " is not a plug-in: not an ELF file"},
        {NOSTAMP_PLUGIN, NOSTAMP_PLUGIN " is not a plug-in: no version stamp"},
        {OLDSTAMP_PLUGIN, OLDSTAMP_PLUGIN " is not a plug-in: version stamp '1033\\n100 MATLAB 4.2c\\n' does not "
                                          "match '1033\\n100 MATLAB 5.1 native\\n101 not inlined\\n'"},
        {NOMEX_PLUGIN, NOMEX_PLUGIN " is not a plug-in: no mexFunction"},
    };
    for (const auto &c : cases) EXPECT_EQ(load_error(c[0]), c[1]);
    remove_temp(text);
}

TEST(Loader, DamagedFilesAreRefusedNotRun) {
    std::ifstream in(ECHO_PLUGIN, std::ios::binary);
    const std::vector<char> good{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GT(good.size(), sizeof(Elf64_Ehdr));
    auto get = [&](auto *field, size_t at) {
        std::memcpy(field, good.data() + at, sizeof *field);
        return *field;
    };
    Elf64_Ehdr eh;
    Elf64_Shdr sh, names;
    Elf64_Phdr ph;
    get(&eh, 0);
    auto section = [&](size_t i, size_t field) { return eh.e_shoff + i * eh.e_shentsize + field; };
    get(&names, section(eh.e_shstrndx, 0));
    size_t stamp = 0, load = 0;
    for (size_t i = 0; i < eh.e_shnum; ++i)
        if (std::strcmp(good.data() + names.sh_offset + get(&sh, section(i, 0)).sh_name, ".mexstamp") == 0) stamp = i;
    for (size_t i = 0; i < eh.e_phnum; ++i)
        if (get(&ph, eh.e_phoff + i * eh.e_phentsize).p_type == PT_LOAD) load = i;
    ASSERT_NE(stamp, 0u);
    get(&sh, section(stamp, 0));

    const struct {
        const char *what;
        size_t size, at, width;  // cut to size, then `width` bytes at `at` replaced by ...
        uint64_t value;          // ... this, little-endian
        std::string error;
    } cases[] = {
        {"intact", good.size(), 0, 0, 0, ""},
        {"empty", 0, 0, 0, 0, "not an ELF file"},
        {"cut in half", good.size() / 2, 0, 0, 0, "damaged ELF file (section headers out of range)"},
        {"32-bit", good.size(), EI_CLASS, 1, ELFCLASS32, "built for another machine"},
        {"executable", good.size(), offsetof(Elf64_Ehdr, e_type), 2, ET_EXEC, "not a shared object"},
        {"sections past end", good.size(), offsetof(Elf64_Ehdr, e_shoff), 8, ~0ull - 8,
         "damaged ELF file (section headers out of range)"},
        {"small entries", good.size(), offsetof(Elf64_Ehdr, e_shentsize), 2, 10,
         "damaged ELF file (section header size)"},
        {"segment past end", good.size(), eh.e_phoff + load * eh.e_phentsize + offsetof(Elf64_Phdr, p_filesz), 8,
         good.size(), "damaged ELF file (segment past the end of the file)"},
        {"name past table", good.size(), section(stamp, offsetof(Elf64_Shdr, sh_name)), 4, names.sh_size,
         "damaged ELF file (section name out of range)"},
        {"stamp past end", good.size(), section(stamp, offsetof(Elf64_Shdr, sh_size)), 8, ~0ull,
         "damaged ELF file (version stamp out of range)"},
        {"stamp edited", good.size(), sh.sh_offset + 3, 1, '4', "version stamp '1034\\n"},
    };
    for (const auto &c : cases) {
        std::vector<char> bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(c.size));
        if (c.width) std::memcpy(bytes.data() + c.at, &c.value, c.width);
        const std::string path = temp_file(bytes);
        std::string error;
        const bool loaded = Plugin::load(path, &error) != nullptr;
        EXPECT_EQ(loaded, c.error.empty()) << c.what;
        const std::string expected = c.error.empty() ? "" : path + " is not a plug-in: " + c.error;
        EXPECT_EQ(error.find(expected), 0u) << c.what << ": " << error;
        remove_temp(path);
    }
}

// What the dynamic linker reads before any check of its own: a damaged copy
// would crash it (most of these did, inside dlopen) or make it abort.
TEST(Loader, DamagedDynamicTablesAreRefusedBeforeTheLinkerSeesThem) {
    std::ifstream in(ECHO_PLUGIN, std::ios::binary);
    const std::vector<char> good{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Elf64_Ehdr eh;
    std::memcpy(&eh, good.data(), sizeof eh);
    std::vector<Elf64_Phdr> ph(eh.e_phnum);
    size_t dynamic = 0;
    for (size_t i = 0; i < ph.size(); ++i) {
        std::memcpy(&ph[i], good.data() + eh.e_phoff + i * eh.e_phentsize, sizeof(Elf64_Phdr));
        if (ph[i].p_type == PT_DYNAMIC) dynamic = i;
    }
    auto offset_of = [&](uint64_t vaddr) {  // file offset of a loaded address
        for (const auto &p : ph)
            if (p.p_type == PT_LOAD && vaddr >= p.p_vaddr && vaddr < p.p_vaddr + p.p_filesz)
                return static_cast<size_t>(p.p_offset + vaddr - p.p_vaddr);
        ADD_FAILURE() << "address " << vaddr << " not in the file";
        return size_t{0};
    };
    // File offset of the value of the dynamic entry with this tag, and the value.
    auto entry = [&](int64_t tag, uint64_t *value = nullptr) {
        for (size_t at = ph[dynamic].p_offset;; at += sizeof(Elf64_Dyn)) {
            Elf64_Dyn d;
            std::memcpy(&d, good.data() + at, sizeof d);
            if (d.d_tag == tag || d.d_tag == DT_NULL) {
                EXPECT_EQ(d.d_tag, tag) << "no dynamic entry " << tag;
                if (value) *value = d.d_un.d_val;
                return at + offsetof(Elf64_Dyn, d_un);
            }
        }
    };
    uint64_t rela = 0, gnu_hash = 0, code = 0;
    for (const auto &p : ph)
        if (p.p_type == PT_LOAD && (p.p_flags & PF_X)) code = p.p_vaddr;
    entry(DT_RELA, &rela);
    entry(DT_GNU_HASH, &gnu_hash);
    const uint64_t far = 0x7fff0000;

    const struct {
        const char *what;
        size_t at, width;
        uint64_t value;
        std::string error;
    } cases[] = {
        {"dynamic segment far", eh.e_phoff + dynamic * eh.e_phentsize + offsetof(Elf64_Phdr, p_vaddr), 8, far,
         "dynamic segment outside the loaded segments"},
        {"string table far", entry(DT_STRTAB), 8, far, "DT_STRTAB outside the loaded segments"},
        {"string table too long", entry(DT_STRSZ), 8, far, "DT_STRTAB outside the loaded segments"},
        {"library name past strings", entry(DT_NEEDED), 8, far, "library name outside DT_STRTAB"},
        {"symbols far", entry(DT_SYMTAB), 8, far, "DT_SYMTAB outside the loaded segments"},
        {"hash table far", entry(DT_GNU_HASH), 8, far, "DT_GNU_HASH outside the loaded segments"},
        {"no hash buckets", offset_of(gnu_hash), 4, 0, "DT_GNU_HASH damaged"},
        {"relocations far", entry(DT_RELA), 8, far, "DT_RELA outside the loaded segments"},
        {"relocation entry size", entry(DT_RELAENT), 8, 7, "DT_RELAENT is not the size of an entry"},
        {"relocation target far", offset_of(rela) + offsetof(Elf64_Rela, r_offset), 8, far,
         "relocation in DT_RELA outside the image"},
        {"relocation target in code", offset_of(rela) + offsetof(Elf64_Rela, r_offset), 8, code,
         "relocation in DT_RELA outside the image"},
        {"plt relocations far", entry(DT_JMPREL), 8, far, "DT_JMPREL outside the loaded segments"},
        {"versions far", entry(DT_VERSYM), 8, far, "DT_VERSYM outside the loaded segments"},
        {"needed versions far", entry(DT_VERNEED), 8, far, "DT_VERNEED outside the loaded segments"},
        {"start-up code far", entry(DT_INIT), 8, far, "DT_INIT outside the code"},
        {"start-up array far", entry(DT_INIT_ARRAY), 8, far, "DT_INIT_ARRAY outside the loaded segments"},
        // Caught by no check: the start-up code runs unrelocated and crashes,
        // in the trial load.
        {"relocations dropped", entry(DT_RELA) - offsetof(Elf64_Dyn, d_un), 8, 0x52 /* no such tag */,
         "loading it crashed (Segmentation fault)"},
        {"dynamic segment cut short", eh.e_phoff + dynamic * eh.e_phentsize + offsetof(Elf64_Phdr, p_memsz), 8,
         sizeof(Elf64_Dyn), "dynamic section not terminated"},
    };
    for (const auto &c : cases) {
        // The sanitizer reports the child's crash, and any report fails the run.
        if (kAddressSanitizer && c.error.compare(0, 7, "loading") == 0) continue;
        std::vector<char> bytes(good);
        std::memcpy(bytes.data() + c.at, &c.value, c.width);
        const std::string path = temp_file(bytes);
        const std::string error = c.error.compare(0, 7, "loading") == 0 ? c.error : "damaged ELF file (" + c.error + ")";
        EXPECT_EQ(load_error(path), path + " is not a plug-in: " + error) << c.what;
        remove_temp(path);
    }
}

TEST(Loader, EachLoadMapsTheFileItChecked) {
    std::string error;
    auto first = Plugin::load(ECHO_PLUGIN, &error);
    ASSERT_NE(first, nullptr) << error;
    Array count = make_char("count");
    EXPECT_EQ(mxGetScalar(first->call(1, {count.get()}).outputs.at(0).get()), 1);
    // A copy is another file: a fresh image, although its descriptor may
    // reuse the number that named the first one.
    std::string copy;
    {
        std::ifstream in(ECHO_PLUGIN, std::ios::binary);
        copy = temp_file({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
    }
    auto second = Plugin::load(copy, &error);
    ASSERT_NE(second, nullptr) << error;
    EXPECT_EQ(mxGetScalar(second->call(1, {count.get()}).outputs.at(0).get()), 1);
    EXPECT_EQ(mxGetScalar(first->call(1, {count.get()}).outputs.at(0).get()), 2);
    remove_temp(copy);
}

TEST(Digest, Sha256MatchesTheStandardVectors) {
    const struct { std::string text, hex; } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &c : cases) {
        Sha256 whole;
        whole.update(c.text.data(), c.text.size());
        EXPECT_EQ(whole.hex(), c.hex) << c.text.size() << " bytes";
        Sha256 pieces;  // fed in uneven pieces across block boundaries
        for (size_t at = 0, step = 1; at < c.text.size(); at += step, step = step % 97 + 1)
            pieces.update(c.text.data() + at, std::min(step, c.text.size() - at));
        EXPECT_EQ(pieces.hex(), c.hex) << c.text.size() << " bytes in pieces";
    }
}

// The digest the build wrote beside a plug-in is what `sha256sum` writes, and
// the loader takes nothing else: any changed byte is refused before the
// plug-in runs, wherever it lies.
TEST(Digest, ChangedBytesAreRefusedBeforeTheyRun) {
    const std::vector<char> good = read_file(ECHO_PLUGIN);
    const std::vector<char> recorded = read_file(ECHO_PLUGIN ".sha256");
    ASSERT_GT(recorded.size(), 64u) << "no digest written beside " ECHO_PLUGIN;
    const std::string digest(recorded.begin(), recorded.end());
    Sha256 sha;
    sha.update(good.data(), good.size());
    const std::string hex = sha.hex();
    EXPECT_EQ(digest, hex + "  fixture_echo.mexa64\n");

    // Offsets in the code, the data, the symbol tables and the last byte.
    for (size_t at : {good.size() / 5, good.size() / 3, good.size() / 2, good.size() * 3 / 4, good.size() - 1}) {
        std::vector<char> bytes(good);
        bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        const std::string path = temp_file(bytes, &digest);
        EXPECT_EQ(load_error(path), path + " is refused: its bytes do not match the digest in minihost_" +
                                        std::to_string(getpid()) + ".mexa64.sha256 (damaged or changed since it "
                                        "was built)")
            << "byte " << at;
        remove_temp(path);
    }
    // Digest files: as sha256sum writes them, bare, in capitals; or unusable.
    std::string upper = hex;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const struct { std::string text; bool loads; } files[] = {
        {hex + "  other-name.mexa64\n", true}, {hex, true}, {hex + "\r\n", true}, {upper + "\n", true},
        {"", false}, {hex.substr(1), false}, {hex + "0\n", false}, {"sha256:" + hex, false},
    };
    for (const auto &f : files) {
        const std::string path = temp_file(good, &f.text);
        std::string error;
        EXPECT_EQ(Plugin::load(path, &error) != nullptr, f.loads) << f.text << ": " << error;
        if (!f.loads) {
            EXPECT_NE(error.find("holds no SHA-256 digest"), std::string::npos) << error;
        }
        remove_temp(path);
    }
    const std::string path = temp_file(good);
    unlink((path + ".sha256").c_str());
    EXPECT_NE(load_error(path).find(path + " is refused: no digest file minihost_"), std::string::npos);
    remove_temp(path);
}

// Counts and sizes a header asks for are held to bounds before anything is
// allocated: files whose apparent size is large but which hold almost nothing
// (sparse) are refused at once.
TEST(Loader, HeaderCountsAreBoundedBeforeAnythingIsAllocated) {
    const std::vector<char> good = read_file(ECHO_PLUGIN);
    Elf64_Ehdr eh;
    std::memcpy(&eh, good.data(), sizeof eh);
    size_t dynamic = 0;
    for (size_t i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        std::memcpy(&ph, good.data() + eh.e_phoff + i * eh.e_phentsize, sizeof ph);
        if (ph.p_type == PT_DYNAMIC) dynamic = eh.e_phoff + i * eh.e_phentsize;
    }
    const uint64_t gib = 1ull << 30;
    const struct {
        const char *what;
        uint64_t sparse_size;  // 0: the file's own size
        size_t at, width;
        uint64_t value;
        std::string error;
        size_t at2 = 0;  // and, when not 0, 8 bytes there replaced by ...
        uint64_t value2 = 0;
    } cases[] = {
        {"sparse, 2 GiB", 2 * gib, 0, 0, 0, "file too large for a plug-in (2147483648 bytes, at most 67108864)"},
        {"10^8 sections, sparse", 60u << 20, offsetof(Elf64_Ehdr, e_shnum), 2, 0,
         "damaged ELF file (100000000 section headers, at most 65536)", eh.e_shoff + offsetof(Elf64_Shdr, sh_size),
         100000000},
        {"program headers counted in section 0", 0, offsetof(Elf64_Ehdr, e_phnum), 2, PN_XNUM,
         "damaged ELF file (no program headers)"},
        {"dynamic entries", 0, dynamic + offsetof(Elf64_Phdr, p_memsz), 8, 1ull << 30,
         "damaged ELF file (67108864 dynamic entries, at most 16384)"},
    };
    for (const auto &c : cases) {
        std::vector<char> bytes(good);
        if (c.width) std::memcpy(bytes.data() + c.at, &c.value, c.width);
        if (c.at2) std::memcpy(bytes.data() + c.at2, &c.value2, 8);
        const std::string path = temp_file(bytes);
        if (c.sparse_size) {
            ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(c.sparse_size)), 0);
        }
        std::string error;
        Plugin::load(path, &error);
        EXPECT_EQ(error, path + " is not a plug-in: " + c.error) << c.what;
        EXPECT_EQ(error.find("memory"), std::string::npos) << c.what << ": " << error;
        remove_temp(path);
    }
}

// A plug-in's stamp gives its name: a file of the other kind in its place is
// refused with both names; without a name to check, any stamp is taken.
TEST(Loader, TheStampNamesThePlugin) {
    const struct { const char *path, *slot; std::string error; } cases[] = {
        {QUORV_TRAIN_PLUGIN, "quorv_train", ""},
        {QUORV_PERF_PLUGIN, "quorv_perf", ""},
        {QUORV_PERF_PLUGIN, "", ""},
        {QUORV_PERF_PLUGIN, "quorv_train", "its version stamp names 'quorv_perf', not quorv_train (a plug-in of the "
                                           "other kind in its place)"},
        {QUORV_TRAIN_PLUGIN, "quorv_perf", "its version stamp names 'quorv_train', not quorv_perf (a plug-in of the "
                                           "other kind in its place)"},
        {ECHO_PLUGIN, "quorv_train", "its version stamp names no plug-in (expected quorv_train)"},
    };
    for (const auto &c : cases) {
        std::string error;
        auto plugin = Plugin::load(c.path, &error, c.slot);
        EXPECT_EQ(plugin != nullptr, c.error.empty()) << c.path << " as " << c.slot;
        EXPECT_EQ(error, c.error.empty() ? "" : std::string(c.path) + " is not a plug-in: " + c.error);
    }
}

// What lets a host keep a plug-in loaded: the file behind the path unchanged.
TEST(Loader, KnowsWhenItsFileChanged) {
    const std::string path = temp_file(read_file(ECHO_PLUGIN));
    std::string error;
    auto plugin = Plugin::load(path, &error);
    ASSERT_NE(plugin, nullptr) << error;
    EXPECT_TRUE(plugin->unchanged());
    struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_FALSE(plugin->unchanged());
    unlink(path.c_str());
    EXPECT_FALSE(plugin->unchanged());
    remove_temp(path);
}
