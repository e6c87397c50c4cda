// Loading a plug-in: its file is checked before any of its code runs (dlopen
// runs static constructors): sizes and counts within bounds, the version stamp
// and the name it gives, the tables the dynamic linker reads, and its bytes
// against the digest recorded at build time. Then it is tried in a child
// process, and only then opened.
#include "digest.h"
#include "minihost.h"
#include "quoted.h"
#include "sha256.h"
#include "resources/version_stamp.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <link.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <vector>

namespace minihost {
namespace {

#if defined(__x86_64__)
constexpr int native_machine = EM_X86_64;
#elif defined(__i386__)
constexpr int native_machine = EM_386;
#elif defined(__aarch64__)
constexpr int native_machine = EM_AARCH64;
#elif defined(__arm__)
constexpr int native_machine = EM_ARM;
#elif defined(__riscv)
constexpr int native_machine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr int native_machine = EM_PPC64;
#elif defined(__powerpc__)
constexpr int native_machine = EM_PPC;
#elif defined(__s390x__)
constexpr int native_machine = EM_S390;
#else
constexpr int native_machine = EM_NONE;  // unknown here: dlopen still checks it
#endif

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char native_data = ELFDATA2LSB;
#else
constexpr unsigned char native_data = ELFDATA2MSB;
#endif

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Shdr = ElfW(Shdr);
constexpr unsigned char native_class = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;

// A trial load that takes longer than this is taken for a hang.
constexpr int trial_timeout_ms = 10000;

// Stamps longer than this are wrong anyway; no need to read more to say so.
constexpr size_t max_stamp = 4096;

// Bounds on what a file's headers may ask for: far above any real plug-in,
// low enough that checking a hostile file allocates and reads little. Counts
// are checked against these and against the file's size before anything is
// allocated for them.
constexpr uint64_t max_file = 64ull << 20;          // bytes of the whole file (all are hashed)
constexpr uint64_t max_sections = 1ull << 16;       // section headers
constexpr uint64_t max_segments = 1ull << 10;       // program headers
constexpr uint64_t max_dynamic = 1ull << 14;        // dynamic entries
constexpr uint64_t max_table = 16ull << 20;         // bytes of any one table read whole
constexpr uint64_t max_version_entries = 1ull << 16;  // steps along a version chain

// Reads from an open file, refusing any range that is not wholly inside it.
class File {
public:
    explicit File(int fd) : fd_(fd) {}
    ~File() { ::close(fd_); }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    uint64_t size = 0;

    bool inside(uint64_t offset, uint64_t length) const { return offset <= size && length <= size - offset; }

    bool read(uint64_t offset, void *buf, size_t length) const {
        if (!inside(offset, length)) return false;
        char *p = static_cast<char *>(buf);
        while (length > 0) {
            const ssize_t k = ::pread(fd_, p, length, static_cast<off_t>(offset));
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return false;
            p += k;
            offset += static_cast<uint64_t>(k);
            length -= static_cast<size_t>(k);
        }
        return true;
    }

private:
    int fd_;
};

// The file as the dynamic linker sees it once mapped: addresses relative to
// the load base, each inside one PT_LOAD segment.
class Image {
public:
    Image(const File &f, const std::vector<Phdr> &segments) : file_(f), segments_(segments) {}

    const std::vector<Phdr> &segments() const { return segments_; }

    // The file offset of `length` bytes at `address`, when they lie in the
    // file-backed part of one loaded segment.
    bool offset_of(uint64_t address, uint64_t length, uint64_t *offset) const {
        for (const Phdr &ph : segments_) {
            if (ph.p_type != PT_LOAD || address < ph.p_vaddr) continue;
            const uint64_t into = address - ph.p_vaddr;
            if (into <= ph.p_filesz && length <= ph.p_filesz - into) {
                *offset = ph.p_offset + into;
                return true;
            }
        }
        return false;
    }
    bool holds(uint64_t address, uint64_t length) const {
        uint64_t ignored;
        return offset_of(address, length, &ignored);
    }
    // Mapped at all (zero-filled memory past a segment's file part included),
    // optionally only in segments with all of `flags`.
    bool mapped(uint64_t address, uint64_t length, uint32_t flags = 0) const {
        for (const Phdr &ph : segments_) {
            if (ph.p_type != PT_LOAD || address < ph.p_vaddr || (ph.p_flags & flags) != flags) continue;
            const uint64_t into = address - ph.p_vaddr;
            if (into <= ph.p_memsz && length <= ph.p_memsz - into) return true;
        }
        return false;
    }
    bool read(uint64_t address, void *buf, size_t length) const {
        uint64_t offset;
        return offset_of(address, length, &offset) && file_.read(offset, buf, length);
    }
    template <class T>
    bool read_array(uint64_t address, uint64_t count, std::vector<T> *out) const {
        if (count > max_table / sizeof(T)) oversized = true;
        if (count > file_.size / sizeof(T) || oversized) return false;
        out->resize(static_cast<size_t>(count));
        return count == 0 || read(address, out->data(), out->size() * sizeof(T));
    }
    // Set once a table was refused for its size alone.
    mutable bool oversized = false;

private:
    const File &file_;
    const std::vector<Phdr> &segments_;
};

using Dyn = ElfW(Dyn);
using Sym = ElfW(Sym);
using Rela = ElfW(Rela);
using Rel = ElfW(Rel);
using Relr = ElfW(Relr);

// Relocation types the linker treats specially; ~0u where not known here.
#if defined(__x86_64__)
constexpr uint32_t relative_type = R_X86_64_RELATIVE;
constexpr uint32_t irelative_type = R_X86_64_IRELATIVE;
constexpr bool rela_only = true;  // the linker asserts DT_PLTREL is DT_RELA
#elif defined(__aarch64__)
constexpr uint32_t relative_type = R_AARCH64_RELATIVE;
constexpr uint32_t irelative_type = R_AARCH64_IRELATIVE;
constexpr bool rela_only = true;
#else
constexpr uint32_t relative_type = ~0u;
constexpr uint32_t irelative_type = ~0u;
constexpr bool rela_only = false;
#endif

#if __ELF_NATIVE_CLASS == 64
inline uint64_t symbol_of(uint64_t info) { return ELF64_R_SYM(info); }
inline uint32_t type_of(uint64_t info) { return static_cast<uint32_t>(ELF64_R_TYPE(info)); }
#else
inline uint64_t symbol_of(uint64_t info) { return ELF32_R_SYM(info); }
inline uint32_t type_of(uint64_t info) { return ELF32_R_TYPE(info); }
#endif

// What the dynamic linker reads before any of the plug-in's code runs: the
// dynamic section and every table it names. Each must lie inside the loaded
// segments (the linker reads them there without checking), every index and
// string offset inside its table, every relocation's target inside the
// image. Answers the first fault, or an empty string.
std::string check_dynamic(const Image &image) {
    const Phdr *dynamic = nullptr;
    for (const Phdr &ph : image.segments()) {
        switch (ph.p_type) {
        case PT_DYNAMIC:
            if (!dynamic) dynamic = &ph;
            break;
        case PT_NOTE: case PT_GNU_PROPERTY: case PT_GNU_EH_FRAME: case PT_TLS:
            // Read in place by the linker, or by the unwinder when an error unwinds the call.
            if (!image.holds(ph.p_vaddr, ph.p_filesz)) return "segment outside the loaded segments";
            break;
        default:
            break;
        }
    }
    if (!dynamic) return "no dynamic segment";
    std::vector<Dyn> entries;
    if (dynamic->p_memsz / sizeof(Dyn) > max_dynamic)
        return std::to_string(dynamic->p_memsz / sizeof(Dyn)) + " dynamic entries, at most " +
               std::to_string(max_dynamic);
    if (!image.read_array(dynamic->p_vaddr, dynamic->p_memsz / sizeof(Dyn), &entries) || entries.empty())
        return "dynamic segment outside the loaded segments";

    // The last entry of each tag counts, as in the linker.
    static constexpr int64_t tracked[] = {
        DT_STRTAB, DT_STRSZ, DT_SYMTAB, DT_SYMENT, DT_HASH, DT_GNU_HASH, DT_RELA, DT_RELASZ, DT_RELAENT,
        DT_REL, DT_RELSZ, DT_RELENT, DT_JMPREL, DT_PLTRELSZ, DT_PLTREL, DT_RELR, DT_RELRSZ, DT_RELRENT,
        DT_INIT, DT_FINI, DT_INIT_ARRAY, DT_INIT_ARRAYSZ, DT_FINI_ARRAY, DT_FINI_ARRAYSZ, DT_PREINIT_ARRAY,
        DT_PREINIT_ARRAYSZ, DT_VERSYM, DT_VERDEF, DT_VERNEED, DT_PLTGOT, DT_TEXTREL, DT_FLAGS, DT_RELACOUNT,
        DT_RELCOUNT};
    constexpr size_t ntracked = sizeof tracked / sizeof tracked[0];
    auto slot = [](int64_t tag) { return std::find(tracked, tracked + ntracked, tag) - tracked; };
    constexpr uint64_t absent = ~0ull;
    uint64_t v[ntracked];
    std::fill(std::begin(v), std::end(v), absent);
    std::vector<uint64_t> names;  // string-table offsets: needed libraries, soname, search paths
    std::vector<uint64_t> needed;
    bool terminated = false;
    for (const Dyn &d : entries) {
        if (d.d_tag == DT_NULL) {
            terminated = true;
            break;
        }
        if (d.d_tag == DT_NEEDED || d.d_tag == DT_SONAME || d.d_tag == DT_RPATH || d.d_tag == DT_RUNPATH ||
            d.d_tag == DT_AUXILIARY || d.d_tag == DT_FILTER)
            names.push_back(d.d_un.d_val);
        if (d.d_tag == DT_NEEDED) needed.push_back(d.d_un.d_val);
        const auto k = static_cast<size_t>(slot(d.d_tag));
        if (k < ntracked) v[k] = d.d_un.d_val;
    }
    if (!terminated) return "dynamic section not terminated";
    auto has = [&](int64_t tag) { return v[slot(tag)] != absent; };
    auto at = [&](int64_t tag) { return v[slot(tag)]; };

    // Entry sizes the linker assumes (and asserts, reading the size entry
    // whenever its table is there).
    const struct { int64_t table, tag; uint64_t size; const char *name; } entry_sizes[] = {
        {DT_SYMTAB, DT_SYMENT, sizeof(Sym), "DT_SYMENT"}, {DT_RELA, DT_RELAENT, sizeof(Rela), "DT_RELAENT"},
        {DT_REL, DT_RELENT, sizeof(Rel), "DT_RELENT"}, {DT_RELR, DT_RELRENT, sizeof(Relr), "DT_RELRENT"}};
    for (const auto &e : entry_sizes) {
        if (has(e.tag) && at(e.tag) != e.size) return std::string(e.name) + " is not the size of an entry";
        if (e.tag != DT_SYMENT && has(e.table) && !has(e.tag)) return std::string("no ") + e.name;
    }
    // The linker reads all three once it sees any.
    if (has(DT_PLTREL) || has(DT_JMPREL) || has(DT_PLTRELSZ)) {
        if (!has(DT_PLTREL) || !has(DT_JMPREL) || !has(DT_PLTRELSZ)) return "DT_JMPREL incomplete";
        if (at(DT_PLTREL) != DT_RELA && (rela_only || at(DT_PLTREL) != DT_REL))
            return "DT_PLTREL names no relocation kind";
    }

    // Strings.
    if (!has(DT_STRTAB) || !has(DT_STRSZ)) return "no DT_STRTAB";
    const uint64_t strsz = at(DT_STRSZ);
    if (strsz == 0 || !image.holds(at(DT_STRTAB), strsz)) return "DT_STRTAB outside the loaded segments";
    char last = 1;
    if (!image.read(at(DT_STRTAB) + strsz - 1, &last, 1) || last != '\0') return "DT_STRTAB not terminated";
    for (uint64_t name : names)
        if (name >= strsz) return "library name outside DT_STRTAB";
    std::vector<char> strings;
    if (!image.read_array(at(DT_STRTAB), strsz, &strings)) return "DT_STRTAB outside the loaded segments";
    auto string_at = [&](uint64_t offset) { return std::string(strings.data() + offset); };

    // Symbols: their count comes from the hash table the linker searches.
    if (!has(DT_SYMTAB)) return "no DT_SYMTAB";
    uint64_t nsyms = 0;
    if (has(DT_GNU_HASH)) {
        const uint64_t table = at(DT_GNU_HASH);
        uint32_t head[4];  // buckets, first hashed symbol, bloom words, bloom shift
        if (!image.read(table, head, sizeof head)) return "DT_GNU_HASH outside the loaded segments";
        const uint64_t nbuckets = head[0], first = head[1], bloom = head[2];
        if (nbuckets == 0 || bloom == 0 || (bloom & (bloom - 1)) != 0) return "DT_GNU_HASH damaged";
        const uint64_t buckets_at = table + sizeof head + bloom * sizeof(ElfW(Addr));
        if (!image.holds(table, buckets_at - table)) return "DT_GNU_HASH outside the loaded segments";
        std::vector<uint32_t> buckets;
        if (!image.read_array(buckets_at, nbuckets, &buckets)) return "DT_GNU_HASH outside the loaded segments";
        nsyms = first;
        const uint64_t chains_at = buckets_at + nbuckets * sizeof(uint32_t);
        uint64_t top = 0;
        for (uint32_t b : buckets) {
            if (b == 0) continue;
            if (b < first) return "DT_GNU_HASH damaged";
            if (b > top) top = b;
        }
        if (top) {
            // The highest bucket's chain runs to the last hashed symbol.
            for (uint64_t i = top;; ++i) {
                uint32_t hash;
                if (!image.read(chains_at + (i - first) * sizeof hash, &hash, sizeof hash))
                    return "DT_GNU_HASH outside the loaded segments";
                if (hash & 1) {
                    nsyms = i + 1;
                    break;
                }
            }
        }
    }
    if (has(DT_HASH)) {
        const uint64_t table = at(DT_HASH);
        uint32_t head[2];  // buckets, chain length (= symbols)
        if (!image.read(table, head, sizeof head)) return "DT_HASH outside the loaded segments";
        std::vector<uint32_t> words;
        if (head[0] == 0 || !image.read_array(table + sizeof head, uint64_t{head[0]} + head[1], &words))
            return head[0] == 0 ? "DT_HASH damaged" : "DT_HASH outside the loaded segments";
        // Every symbol on at most one chain, so that no search goes round for ever.
        std::vector<bool> seen(head[1], false);
        for (uint32_t b = 0; b < head[0]; ++b)
            for (uint32_t i = words[b]; i != STN_UNDEF; i = words[head[0] + i]) {
                if (i >= head[1] || seen[i]) return "DT_HASH damaged";
                seen[i] = true;
            }
        if (!has(DT_GNU_HASH)) nsyms = head[1];
        else if (head[1] < nsyms) return "DT_HASH damaged";
    }
    if (!has(DT_GNU_HASH) && !has(DT_HASH)) return "no symbol hash table";
    uint64_t max_symbol = 0;  // highest symbol index a relocation names

    // Relocations: tables inside, targets in writable memory (any memory of
    // the image when it asks for text relocations), symbols known.
    const bool textrel = has(DT_TEXTREL) || (has(DT_FLAGS) && (at(DT_FLAGS) & DF_TEXTREL));
    auto target_ok = [&](uint64_t address) {
        return image.mapped(address, sizeof(ElfW(Addr)), textrel ? 0 : PF_W);
    };
    auto check_relocations = [&](auto tag, auto size_tag, auto entry, const char *name) -> std::string {
        if (!has(tag)) return "";
        if (!has(size_tag)) return std::string(name) + " without its size";
        std::vector<decltype(entry)> table;
        if (at(size_tag) % sizeof entry != 0 || !image.read_array(at(tag), at(size_tag) / sizeof entry, &table))
            return std::string(name) + " outside the loaded segments";
        const std::string fault = std::string("relocation in ") + name;
        for (const auto &r : table) {
            if (!target_ok(r.r_offset)) return fault + " outside the image";
            max_symbol = std::max(max_symbol, symbol_of(r.r_info));
            if (type_of(r.r_info) == irelative_type) {
                // The linker calls the resolver at the addend: it must be code of the plug-in.
                uint64_t resolver = 0;
                if constexpr (std::is_same_v<decltype(entry), Rela>) resolver = static_cast<uint64_t>(r.r_addend);
                else if (!image.read(r.r_offset, &resolver, sizeof resolver)) return fault + " outside the image";
                if (!image.mapped(resolver, 1, PF_X)) return fault + " calls outside the code";
            }
        }
        return "";
    };
    // The first DT_RELACOUNT (DT_RELCOUNT) entries are relative ones, and the
    // linker asserts so.
    auto relative_first = [&](auto tag, auto size_tag, auto count_tag, auto entry) {
        if (!has(count_tag) || !has(tag) || relative_type == ~0u) return true;
        std::vector<decltype(entry)> table;
        const uint64_t n = std::min(at(count_tag), at(size_tag) / sizeof entry);
        if (!image.read_array(at(tag), n, &table)) return false;
        for (const auto &r : table)
            if (type_of(r.r_info) != relative_type) return false;
        return true;
    };
    std::string why;
    if (!(why = check_relocations(DT_RELA, DT_RELASZ, Rela{}, "DT_RELA")).empty()) return why;
    if (!relative_first(DT_RELA, DT_RELASZ, DT_RELACOUNT, Rela{})) return "DT_RELACOUNT counts other relocations";
    if (!(why = check_relocations(DT_REL, DT_RELSZ, Rel{}, "DT_REL")).empty()) return why;
    if (!relative_first(DT_REL, DT_RELSZ, DT_RELCOUNT, Rel{})) return "DT_RELCOUNT counts other relocations";
    if (has(DT_JMPREL)) {
        why = !has(DT_PLTREL) || at(DT_PLTREL) == DT_RELA
                  ? check_relocations(DT_JMPREL, DT_PLTRELSZ, Rela{}, "DT_JMPREL")
                  : check_relocations(DT_JMPREL, DT_PLTRELSZ, Rel{}, "DT_JMPREL");
        if (!why.empty()) return why;
    }
    if (has(DT_RELR)) {
        std::vector<Relr> relr;
        if (!has(DT_RELRSZ) || at(DT_RELRSZ) % sizeof(Relr) != 0 ||
            !image.read_array(at(DT_RELR), at(DT_RELRSZ) / sizeof(Relr), &relr))
            return "DT_RELR outside the loaded segments";
        uint64_t next = 0;  // the word after the last address entry
        bool started = false;
        for (Relr word : relr) {
            if ((word & 1) == 0) {
                if (!target_ok(word)) return "relocation in DT_RELR outside the image";
                next = word + sizeof(Relr);
                started = true;
                continue;
            }
            if (!started) return "DT_RELR damaged";
            for (uint64_t bits = word >> 1, i = 0; bits; bits >>= 1, ++i)
                if ((bits & 1) && !target_ok(next + i * sizeof(Relr))) return "relocation in DT_RELR outside the image";
            next += (8 * sizeof(Relr) - 1) * sizeof(Relr);
        }
    }

    // Relocations name symbols by index, past the hashed ones too (imports
    // need no hash entry).
    if (max_symbol >= nsyms) {
        if (!image.holds(at(DT_SYMTAB), (max_symbol + 1) * sizeof(Sym)))
            return "relocation names a symbol outside DT_SYMTAB";
        nsyms = max_symbol + 1;
    }
    std::vector<Sym> symbols;
    if (!image.read_array(at(DT_SYMTAB), nsyms, &symbols)) return "DT_SYMTAB outside the loaded segments";
    for (const Sym &sym : symbols) {
        if (sym.st_name >= strsz) return "symbol name outside DT_STRTAB";
        // The linker calls an indirect function's resolver while it relocates.
        if (ELF64_ST_TYPE(sym.st_info) == STT_GNU_IFUNC && sym.st_shndx != SHN_UNDEF &&
            !image.mapped(sym.st_value, 1, PF_X))
            return "symbol resolver outside the code";
    }

    // Symbol versions.
    uint64_t versions = 1;  // 0 and 1 always exist: local and global
    // The linker follows each chain to its last entry, whatever the counts say;
    // every step moves forward, so a chain ends or leaves the image.
    uint64_t steps = 0;
    if (has(DT_VERDEF)) {
        for (uint64_t at_def = at(DT_VERDEF);;) {
            if (++steps > max_version_entries) return "DT_VERDEF damaged (too many entries)";
            ElfW(Verdef) def;
            ElfW(Verdaux) aux;
            if (!image.read(at_def, &def, sizeof def) ||
                !image.read(at_def + def.vd_aux, &aux, sizeof aux))
                return "DT_VERDEF outside the loaded segments";
            if (aux.vda_name >= strsz) return "version name outside DT_STRTAB";
            versions = std::max<uint64_t>(versions, def.vd_ndx & 0x7fff);
            if (def.vd_next == 0) break;
            at_def += def.vd_next;
        }
    }
    if (has(DT_VERNEED)) {
        for (uint64_t at_need = at(DT_VERNEED);;) {
            if (++steps > max_version_entries) return "DT_VERNEED damaged (too many entries)";
            ElfW(Verneed) need;
            if (!image.read(at_need, &need, sizeof need)) return "DT_VERNEED outside the loaded segments";
            if (need.vn_file >= strsz) return "version name outside DT_STRTAB";
            // The linker looks the file up among the libraries loaded with
            // the plug-in, and asserts that it finds it.
            if (std::none_of(needed.begin(), needed.end(),
                             [&](uint64_t n) { return string_at(n) == string_at(need.vn_file); }))
                return "version needed from a library not needed";
            uint64_t at_aux = at_need + need.vn_aux;
            for (uint32_t a = 0; a < need.vn_cnt; ++a) {
                if (++steps > max_version_entries) return "DT_VERNEED damaged (too many entries)";
                ElfW(Vernaux) aux;
                if (!image.read(at_aux, &aux, sizeof aux)) return "DT_VERNEED outside the loaded segments";
                if (aux.vna_name >= strsz) return "version name outside DT_STRTAB";
                versions = std::max<uint64_t>(versions, aux.vna_other & 0x7fff);
                if (aux.vna_next == 0) break;
                at_aux += aux.vna_next;
            }
            if (need.vn_next == 0) break;
            at_need += need.vn_next;
        }
    }
    // Given versions, the linker takes the symbols' version table for granted.
    if ((has(DT_VERDEF) || has(DT_VERNEED)) && !has(DT_VERSYM)) return "no DT_VERSYM";
    if (has(DT_VERSYM)) {
        std::vector<uint16_t> versym;
        if (!image.read_array(at(DT_VERSYM), nsyms, &versym)) return "DT_VERSYM outside the loaded segments";
        for (uint16_t ndx : versym)
            if ((ndx & 0x7fff) > versions) return "symbol version out of range";
    }

    // Start-up and shut-down code and the arrays of it.
    if (has(DT_INIT) && !image.mapped(at(DT_INIT), 1, PF_X)) return "DT_INIT outside the code";
    if (has(DT_FINI) && !image.mapped(at(DT_FINI), 1, PF_X)) return "DT_FINI outside the code";
    const struct { int64_t tag, size_tag; const char *name; } arrays[] = {
        {DT_INIT_ARRAY, DT_INIT_ARRAYSZ, "DT_INIT_ARRAY"}, {DT_FINI_ARRAY, DT_FINI_ARRAYSZ, "DT_FINI_ARRAY"},
        {DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ, "DT_PREINIT_ARRAY"}};
    for (const auto &a : arrays)
        if (has(a.tag) && !image.mapped(at(a.tag), has(a.size_tag) ? at(a.size_tag) : 0))
            return std::string(a.name) + " outside the loaded segments";
    if (has(DT_PLTGOT) && !image.mapped(at(DT_PLTGOT), 3 * sizeof(ElfW(Addr))))
        return "DT_PLTGOT outside the loaded segments";
    return "";
}

// Checks the stamp's text and the plug-in name it gives against `name` (any
// name, or none, when empty). Answers why the file is refused, or "".
std::string check_stamp(const std::string &stamp, const std::string &name) {
    static const std::string text = QUORV_STAMP_TEXT, prefix = QUORV_STAMP_NAME_PREFIX;
    const std::string mismatch = "version stamp " + quoted(stamp) + " does not match " + quoted(text);
    if (stamp.compare(0, text.size(), text) != 0) return mismatch;
    std::string given;  // the name line, when there is one
    if (stamp.size() > text.size()) {
        const std::string rest = stamp.substr(text.size());
        if (rest.compare(0, prefix.size(), prefix) != 0 || rest.back() != '\n' ||
            rest.find('\n') != rest.size() - 1 || rest.size() == prefix.size() + 1)
            return mismatch;
        given = rest.substr(prefix.size(), rest.size() - prefix.size() - 1);
    }
    if (name.empty() || given == name) return "";
    if (given.empty()) return "its version stamp names no plug-in (expected " + name + ")";
    return "its version stamp names " + quoted(given) + ", not " + name + " (a plug-in of the other kind in its place)";
}

// Finds the stamp section and compares its text. Answers why the file is no
// plug-in, or an empty string when it is one.
std::string check_image(const File &f, const std::string &name) {
    unsigned char ident[EI_NIDENT];
    if (!f.read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return "not an ELF file";
    if (ident[EI_CLASS] != native_class || ident[EI_DATA] != native_data) return "built for another machine";
    Ehdr eh;
    if (!f.read(0, &eh, sizeof eh)) return "damaged ELF file (header cut short)";
    if (eh.e_type != ET_DYN) return "not a shared object";
    if (native_machine != EM_NONE && eh.e_machine != native_machine) return "built for another machine";
    if (eh.e_shoff == 0) return "no version stamp";  // no section table to hold one
    if (eh.e_shentsize < sizeof(Shdr)) return "damaged ELF file (section header size)";
    if (f.size > max_file)
        return "file too large for a plug-in (" + std::to_string(f.size) + " bytes, at most " +
               std::to_string(max_file) + ")";

    // Section 0 carries the real counts when they do not fit the header fields.
    Shdr first;
    if (!f.read(eh.e_shoff, &first, sizeof first)) return "damaged ELF file (section headers out of range)";
    const uint64_t shnum = eh.e_shnum ? eh.e_shnum : first.sh_size;
    const uint64_t shstrndx = eh.e_shstrndx == SHN_XINDEX ? first.sh_link : eh.e_shstrndx;
    uint64_t phnum = eh.e_phnum == PN_XNUM ? first.sh_info : eh.e_phnum;

    if (shnum > max_sections)
        return "damaged ELF file (" + std::to_string(shnum) + " section headers, at most " +
               std::to_string(max_sections) + ")";
    if (shnum > (f.size - eh.e_shoff) / eh.e_shentsize) return "damaged ELF file (section headers out of range)";
    if (phnum > max_segments)
        return "damaged ELF file (" + std::to_string(phnum) + " program headers, at most " +
               std::to_string(max_segments) + ")";
    std::vector<Shdr> sections(static_cast<size_t>(shnum));
    for (uint64_t i = 0; i < shnum; ++i)
        if (!f.read(eh.e_shoff + i * eh.e_shentsize, &sections[i], sizeof(Shdr)))
            return "damaged ELF file (section headers out of range)";

    // dlopen maps segments without checking that the file holds them; touching
    // a page past the end of a cut-short file would kill the process.
    if (phnum == 0) return "damaged ELF file (no program headers)";
    if (eh.e_phentsize < sizeof(Phdr) || eh.e_phoff > f.size ||
        phnum > (f.size - eh.e_phoff) / eh.e_phentsize)
        return "damaged ELF file (program headers out of range)";
    std::vector<Phdr> segments(static_cast<size_t>(phnum));
    for (uint64_t i = 0; i < phnum; ++i) {
        Phdr &ph = segments[static_cast<size_t>(i)];
        if (!f.read(eh.e_phoff + i * eh.e_phentsize, &ph, sizeof ph))
            return "damaged ELF file (program headers out of range)";
        if (ph.p_type == PT_LOAD && !f.inside(ph.p_offset, ph.p_filesz))
            return "damaged ELF file (segment past the end of the file)";
    }

    if (shstrndx == SHN_UNDEF) return "no version stamp";  // sections without names
    if (shstrndx >= shnum) return "damaged ELF file (section name table index)";
    const Shdr &names_hdr = sections[static_cast<size_t>(shstrndx)];
    if (names_hdr.sh_type != SHT_STRTAB || !f.inside(names_hdr.sh_offset, names_hdr.sh_size))
        return "damaged ELF file (section name table)";
    if (names_hdr.sh_size > max_table) return "damaged ELF file (section name table too large)";
    std::string names(static_cast<size_t>(names_hdr.sh_size), '\0');
    if (!f.read(names_hdr.sh_offset, &names[0], names.size())) return "damaged ELF file (section name table)";

    for (const Shdr &sh : sections) {
        if (sh.sh_name >= names.size()) return "damaged ELF file (section name out of range)";
        const size_t end = names.find('\0', sh.sh_name);
        if (end == std::string::npos) return "damaged ELF file (section name out of range)";
        if (names.compare(sh.sh_name, end - sh.sh_name, QUORV_STAMP_SECTION) != 0) continue;

        std::string stamp;
        if (sh.sh_type != SHT_NOBITS) {
            if (!f.inside(sh.sh_offset, sh.sh_size)) return "damaged ELF file (version stamp out of range)";
            stamp.resize(static_cast<size_t>(sh.sh_size < max_stamp ? sh.sh_size : max_stamp));
            if (!f.read(sh.sh_offset, &stamp[0], stamp.size())) return "damaged ELF file (version stamp out of range)";
            stamp.resize(std::strlen(stamp.c_str()));
        }
        const std::string refusal = check_stamp(stamp, name);
        if (!refusal.empty()) return refusal;
        const Image image(f, segments);
        const std::string dynamic = check_dynamic(image);
        if (dynamic.empty()) return "";
        if (image.oversized)
            return "damaged ELF file (a table larger than " + std::to_string(max_table >> 20) + " MiB)";
        return "damaged ELF file (" + dynamic + ")";
    }
    return "no version stamp";
}

// Whether the object behind `handle` is mapped from the file `st` describes,
// as /proc/self/maps tells for the address of its dynamic section.
bool maps_file(void *handle, const struct stat &st) {
    struct link_map *map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return false;
    const auto address = reinterpret_cast<uintptr_t>(map->l_ld);
    FILE *maps = std::fopen("/proc/self/maps", "re");
    if (!maps) return false;
    bool same = false;
    char line[4096 + 256];
    while (std::fgets(line, sizeof line, maps)) {
        unsigned long long start, end, offset, inode;
        unsigned major, minor;
        if (std::sscanf(line, "%llx-%llx %*s %llx %x:%x %llu", &start, &end, &offset, &major, &minor, &inode) != 6)
            continue;
        if (address < start || address >= end) continue;
        same = inode == static_cast<unsigned long long>(st.st_ino) && makedev(major, minor) == st.st_dev;
        break;
    }
    std::fclose(maps);
    return same;
}

// Whether `address` lies in an executable segment of the loaded object `map`.
bool in_code(const struct link_map *map, const void *address) {
    struct Search {
        const struct link_map *map;
        uintptr_t address;
        bool found;
    } search{map, reinterpret_cast<uintptr_t>(address), false};
    ::dl_iterate_phdr(
        [](struct dl_phdr_info *info, size_t, void *data) {
            auto *s = static_cast<Search *>(data);
            if (info->dlpi_addr != s->map->l_addr || std::strcmp(info->dlpi_name, s->map->l_name) != 0) return 0;
            for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
                const Phdr &ph = info->dlpi_phdr[i];
                const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
                if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && s->address >= start &&
                    s->address - start < ph.p_memsz)
                    s->found = true;
            }
            return 1;
        },
        &search);
    return search.found;
}

// Loads the file once in a child process first. The checks above cover what
// the dynamic linker reads; a file damaged elsewhere (its relocations left
// out, its start-up code) can still crash the load, and then it takes the
// child down, not the host. Answers why the file is refused, or an empty
// string when the child loaded it or failed cleanly (the real load then
// reports that failure itself).
std::string trial_load(const std::string &target) {
    int verdict_pipe[2];
    if (::pipe2(verdict_pipe, O_CLOEXEC) != 0) return std::string("cannot try it: ") + std::strerror(errno);
    const pid_t child = ::fork();
    if (child < 0) {
        const int e = errno;
        ::close(verdict_pipe[0]);
        ::close(verdict_pipe[1]);
        return std::string("cannot try it: ") + std::strerror(e);
    }
    if (child == 0) {
        ::close(verdict_pipe[0]);
        const struct rlimit no_core = {0, 0};  // a crash here is expected, not worth a core file
        ::setrlimit(RLIMIT_CORE, &no_core);
        const char verdict = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL) ? 'y' : 'n';
        const ssize_t ignored = ::write(verdict_pipe[1], &verdict, 1);
        (void)ignored;
        ::_exit(0);  // nothing of the host's runs in the child
    }
    ::close(verdict_pipe[1]);
    struct pollfd watch = {verdict_pipe[0], POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&watch, 1, trial_timeout_ms);
    } while (ready < 0 && errno == EINTR);
    char verdict = 0;
    const bool answered = ready > 0 && ::read(verdict_pipe[0], &verdict, 1) == 1;
    ::close(verdict_pipe[0]);
    if (!answered) ::kill(child, SIGKILL);
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(child, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (answered) return "";
    if (ready == 0) return "loading it did not finish";
    if (reaped == child && WIFSIGNALED(status))
        return std::string("loading it crashed (") + ::strsignal(WTERMSIG(status)) + ")";
    return "loading it failed";
}

// SHA-256 of the whole open file.
bool file_digest(const File &f, std::string *hex) {
    Sha256 sha;
    std::vector<char> buffer(1 << 16);
    for (uint64_t at = 0; at < f.size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), f.size - at));
        if (!f.read(at, buffer.data(), n)) return false;
        sha.update(buffer.data(), n);
        at += n;
    }
    *hex = sha.hex();
    return true;
}

// The text of the digest file beside `path`. False when there is none; a file
// that is there but cannot be read sets *error.
bool read_digest_file(const std::string &path, std::string *text, std::string *error) {
    const std::string name = digest_path(path);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) *error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    File file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot read " + name + ": not a regular file";
        return false;
    }
    file.size = static_cast<uint64_t>(st.st_size);
    text->resize(static_cast<size_t>(std::min<uint64_t>(file.size, max_digest_file)));
    if (!file.read(0, &(*text)[0], text->size())) {
        *error = "cannot read " + name + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    return true;
}

// /proc/self/fd names the descriptor the checks read; without /proc there is
// no way to load exactly that file.
bool proc_mounted() {
    struct stat st;
    return ::stat("/proc/self/fd", &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::unique_ptr<Plugin> Plugin::load(const std::string &path, std::string *error, const std::string &name) {
    std::string ignored;
    std::string &why = error ? *error : ignored;
    why.clear();

    // Non-blocking, so that a FIFO given by mistake does not hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    File file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        why = "cannot open " + path + ": " + std::strerror(EISDIR);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        why = path + " is not a plug-in: not a regular file";
        return nullptr;
    }
    file.size = static_cast<uint64_t>(st.st_size);
    const std::string reason = check_image(file, name);
    if (!reason.empty()) {
        why = path + " is not a plug-in: " + reason;
        return nullptr;
    }
    std::string recorded, actual;
    const bool has_digest = read_digest_file(path, &recorded, &why);
    if (!why.empty()) return nullptr;
    if (has_digest && !file_digest(file, &actual)) {
        why = "cannot read " + path + ": " + std::strerror(errno ? errno : EIO);
        return nullptr;
    }
    why = digest_refusal(path, has_digest, recorded, actual);
    if (!why.empty()) return nullptr;
    if (!proc_mounted()) {
        why = "cannot load " + path + ": /proc is not mounted (the loader opens plug-ins through /proc/self/fd)";
        return nullptr;
    }

    // The file just checked, through the descriptor still open on it: the
    // path may name another file by now. The dynamic linker hands back an
    // object already loaded under the same name without opening anything, and
    // a descriptor number is reused once closed; so the object it answers
    // must be mapped from this very file, or the same file is tried under
    // another number.
    void *handle = nullptr;
    std::vector<int> spares;
    for (int number = fd; !handle;) {
        const std::string target = "/proc/self/fd/" + std::to_string(number);
        const std::string trial = trial_load(target);
        if (!trial.empty()) {
            why = path + " is not a plug-in: " + trial;
            break;
        }
        dlerror();
        handle = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *msg = dlerror();
            std::string text = msg ? msg : "unknown error";
            if (text.compare(0, target.size() + 2, target + ": ") == 0) text.erase(0, target.size() + 2);
            why = "cannot load " + path + ": " + text;
            break;
        }
        if (maps_file(handle, st)) break;
        ::dlclose(handle);
        handle = nullptr;
        number = spares.size() < 64 ? ::fcntl(fd, F_DUPFD_CLOEXEC, number + 1) : -1;
        if (number < 0) {
            why = "cannot load " + path + ": another object is loaded under its descriptor's name";
            break;
        }
        spares.push_back(number);
    }
    for (int spare : spares) ::close(spare);
    if (!handle) return nullptr;

    // dlsym also searches the plug-in's dependencies; the entry must be its own.
    void *sym = ::dlsym(handle, "mexFunction");
    struct link_map *own = nullptr;
    struct link_map *found = nullptr;
    Dl_info info;
    const bool is_own = sym && ::dlinfo(handle, RTLD_DI_LINKMAP, &own) == 0 &&
                        ::dladdr1(sym, &info, reinterpret_cast<void **>(&found), RTLD_DL_LINKMAP) != 0 &&
                        found == own;
    if (!is_own) {
        ::dlclose(handle);
        why = path + " is not a plug-in: no mexFunction";
        return nullptr;
    }
    if (!in_code(own, sym)) {
        ::dlclose(handle);
        why = path + " is not a plug-in: damaged ELF file (mexFunction outside the code)";
        return nullptr;
    }

    std::unique_ptr<Plugin> p(new Plugin());
    p->handle_ = handle;
    p->entry_ = reinterpret_cast<void (*)(int, mxArray **, int, const mxArray **)>(sym);
    p->path_ = path;
    p->identity_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                    static_cast<uint64_t>(st.st_size),
                    static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return p;
}

bool Plugin::unchanged() const {
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) return false;
    const Identity now{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                       static_cast<uint64_t>(st.st_size),
                       static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return now == identity_;
}

Plugin::~Plugin() {
    if (handle_) ::dlclose(handle_);
}

}  // namespace minihost
