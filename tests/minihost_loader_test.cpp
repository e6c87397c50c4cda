// The embedded host's loader: what it refuses before anything of a file
// runs (no plug-in, damaged headers and dynamic tables, counts beyond
// bounds, changed bytes against the digest, a missing stamp), and that each
// load maps the file it checked.
#include "minihost.h"
#include "sha256.h"

#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace minihost;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

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
