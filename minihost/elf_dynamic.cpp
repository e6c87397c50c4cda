// The dynamic section of a plug-in and the tables it names, checked as the
// dynamic linker will read them: each inside the loaded segments, every index
// and string offset inside its table, every relocation's target in writable
// memory of the image, every resolver and start-up routine in its code, every
// version chain finite. The last entry of a tag counts, as in the linker.
#include "elf_image.h"

#include <algorithm>
#include <iterator>
#include <type_traits>

namespace minihost {
namespace loader MINIHOST_INTERNAL {
namespace {

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

// The entries of the dynamic section that the checks read: the last of each
// tracked tag, and the string offsets of the names.
struct Dynamic {
    static constexpr int64_t tracked[] = {
        DT_STRTAB, DT_STRSZ, DT_SYMTAB, DT_SYMENT, DT_HASH, DT_GNU_HASH, DT_RELA, DT_RELASZ, DT_RELAENT,
        DT_REL, DT_RELSZ, DT_RELENT, DT_JMPREL, DT_PLTRELSZ, DT_PLTREL, DT_RELR, DT_RELRSZ, DT_RELRENT,
        DT_INIT, DT_FINI, DT_INIT_ARRAY, DT_INIT_ARRAYSZ, DT_FINI_ARRAY, DT_FINI_ARRAYSZ, DT_PREINIT_ARRAY,
        DT_PREINIT_ARRAYSZ, DT_VERSYM, DT_VERDEF, DT_VERNEED, DT_PLTGOT, DT_TEXTREL, DT_FLAGS, DT_RELACOUNT,
        DT_RELCOUNT};
    static constexpr size_t ntracked = sizeof tracked / sizeof tracked[0];
    static constexpr uint64_t absent = ~0ull;
    uint64_t v[ntracked];
    std::vector<uint64_t> names;  // string-table offsets: needed libraries, soname, search paths
    std::vector<uint64_t> needed;

    Dynamic() { std::fill(std::begin(v), std::end(v), absent); }
    static size_t slot(int64_t tag) { return static_cast<size_t>(std::find(tracked, tracked + ntracked, tag) - tracked); }
    bool has(int64_t tag) const { return v[slot(tag)] != absent; }
    uint64_t at(int64_t tag) const { return v[slot(tag)]; }
};

// Reads the dynamic segment; the last entry of each tag counts, as in the linker.
std::string read_dynamic(const Image &image, Dynamic *dyn)
{
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
    for (const Dyn &d : entries) {
        if (d.d_tag == DT_NULL)
            return "";
        if (d.d_tag == DT_NEEDED || d.d_tag == DT_SONAME || d.d_tag == DT_RPATH || d.d_tag == DT_RUNPATH ||
            d.d_tag == DT_AUXILIARY || d.d_tag == DT_FILTER)
            dyn->names.push_back(d.d_un.d_val);
        if (d.d_tag == DT_NEEDED) dyn->needed.push_back(d.d_un.d_val);
        const size_t k = Dynamic::slot(d.d_tag);
        if (k < Dynamic::ntracked) dyn->v[k] = d.d_un.d_val;
    }
    return "dynamic section not terminated";
}

// Entry sizes the linker assumes (and asserts, reading the size entry
// whenever its table is there), and the PLT relocations it reads together.
std::string check_layout(const Dynamic &d)
{
    const struct { int64_t table, tag; uint64_t size; const char *name; } entry_sizes[] = {
        {DT_SYMTAB, DT_SYMENT, sizeof(Sym), "DT_SYMENT"}, {DT_RELA, DT_RELAENT, sizeof(Rela), "DT_RELAENT"},
        {DT_REL, DT_RELENT, sizeof(Rel), "DT_RELENT"}, {DT_RELR, DT_RELRENT, sizeof(Relr), "DT_RELRENT"}};
    for (const auto &e : entry_sizes) {
        if (d.has(e.tag) && d.at(e.tag) != e.size) return std::string(e.name) + " is not the size of an entry";
        if (e.tag != DT_SYMENT && d.has(e.table) && !d.has(e.tag)) return std::string("no ") + e.name;
    }
    // The linker reads all three once it sees any.
    if (d.has(DT_PLTREL) || d.has(DT_JMPREL) || d.has(DT_PLTRELSZ)) {
        if (!d.has(DT_PLTREL) || !d.has(DT_JMPREL) || !d.has(DT_PLTRELSZ)) return "DT_JMPREL incomplete";
        if (d.at(DT_PLTREL) != DT_RELA && (rela_only || d.at(DT_PLTREL) != DT_REL))
            return "DT_PLTREL names no relocation kind";
    }
    return "";
}

// The string table, whole and terminated, with every library name inside it.
std::string read_strings(const Image &image, const Dynamic &d, std::vector<char> *strings)
{
    if (!d.has(DT_STRTAB) || !d.has(DT_STRSZ)) return "no DT_STRTAB";
    const uint64_t strsz = d.at(DT_STRSZ);
    if (strsz == 0 || !image.holds(d.at(DT_STRTAB), strsz)) return "DT_STRTAB outside the loaded segments";
    char last = 1;
    if (!image.read(d.at(DT_STRTAB) + strsz - 1, &last, 1) || last != '\0') return "DT_STRTAB not terminated";
    for (uint64_t name : d.names)
        if (name >= strsz) return "library name outside DT_STRTAB";
    if (!image.read_array(d.at(DT_STRTAB), strsz, strings)) return "DT_STRTAB outside the loaded segments";
    return "";
}

// The symbols the GNU hash table covers: up to the end of its highest bucket's chain.
std::string gnu_hash_symbols(const Image &image, uint64_t table, uint64_t *nsyms)
{
    uint32_t head[4];  // buckets, first hashed symbol, bloom words, bloom shift
    if (!image.read(table, head, sizeof head)) return "DT_GNU_HASH outside the loaded segments";
    const uint64_t nbuckets = head[0], first = head[1], bloom = head[2];
    if (nbuckets == 0 || bloom == 0 || (bloom & (bloom - 1)) != 0) return "DT_GNU_HASH damaged";
    const uint64_t buckets_at = table + sizeof head + bloom * sizeof(ElfW(Addr));
    if (!image.holds(table, buckets_at - table)) return "DT_GNU_HASH outside the loaded segments";
    std::vector<uint32_t> buckets;
    if (!image.read_array(buckets_at, nbuckets, &buckets)) return "DT_GNU_HASH outside the loaded segments";
    *nsyms = first;
    const uint64_t chains_at = buckets_at + nbuckets * sizeof(uint32_t);
    uint64_t top = 0;
    for (uint32_t b : buckets) {
        if (b == 0) continue;
        if (b < first) return "DT_GNU_HASH damaged";
        if (b > top) top = b;
    }
    if (!top) return "";
    for (uint64_t i = top;; ++i) {
        uint32_t hash;
        if (!image.read(chains_at + (i - first) * sizeof hash, &hash, sizeof hash))
            return "DT_GNU_HASH outside the loaded segments";
        if (hash & 1) {
            *nsyms = i + 1;
            return "";
        }
    }
}

// The symbols' count comes from the hash table the linker searches; the
// older table's chains must each end, every symbol on at most one.
std::string count_symbols(const Image &image, const Dynamic &d, uint64_t *nsyms)
{
    if (!d.has(DT_SYMTAB)) return "no DT_SYMTAB";
    *nsyms = 0;
    std::string why;
    if (d.has(DT_GNU_HASH) && !(why = gnu_hash_symbols(image, d.at(DT_GNU_HASH), nsyms)).empty()) return why;
    if (d.has(DT_HASH)) {
        const uint64_t table = d.at(DT_HASH);
        uint32_t head[2];  // buckets, chain length (= symbols)
        if (!image.read(table, head, sizeof head)) return "DT_HASH outside the loaded segments";
        std::vector<uint32_t> words;
        if (head[0] == 0 || !image.read_array(table + sizeof head, uint64_t{head[0]} + head[1], &words))
            return head[0] == 0 ? "DT_HASH damaged" : "DT_HASH outside the loaded segments";
        std::vector<bool> seen(head[1], false);
        for (uint32_t b = 0; b < head[0]; ++b)
            for (uint32_t i = words[b]; i != STN_UNDEF; i = words[head[0] + i]) {
                if (i >= head[1] || seen[i]) return "DT_HASH damaged";
                seen[i] = true;
            }
        if (!d.has(DT_GNU_HASH)) *nsyms = head[1];
        else if (head[1] < *nsyms) return "DT_HASH damaged";
    }
    if (!d.has(DT_GNU_HASH) && !d.has(DT_HASH)) return "no symbol hash table";
    return "";
}

// Relocations: tables inside, targets in writable memory (any memory of the
// image when it asks for text relocations), resolvers in the code; the
// highest symbol index they name raises `*max_symbol`.
class RelocationCheck {
public:
    RelocationCheck(const Image &image, const Dynamic &d) : image_(image), d_(d)
    {
        textrel_ = d.has(DT_TEXTREL) || (d.has(DT_FLAGS) && (d.at(DT_FLAGS) & DF_TEXTREL));
    }
    uint64_t max_symbol = 0;

    std::string run()
    {
        std::string why;
        if (!(why = table(DT_RELA, DT_RELASZ, Rela{}, "DT_RELA")).empty()) return why;
        if (!relative_first(DT_RELA, DT_RELASZ, DT_RELACOUNT, Rela{})) return "DT_RELACOUNT counts other relocations";
        if (!(why = table(DT_REL, DT_RELSZ, Rel{}, "DT_REL")).empty()) return why;
        if (!relative_first(DT_REL, DT_RELSZ, DT_RELCOUNT, Rel{})) return "DT_RELCOUNT counts other relocations";
        if (d_.has(DT_JMPREL)) {
            why = !d_.has(DT_PLTREL) || d_.at(DT_PLTREL) == DT_RELA
                      ? table(DT_JMPREL, DT_PLTRELSZ, Rela{}, "DT_JMPREL")
                      : table(DT_JMPREL, DT_PLTRELSZ, Rel{}, "DT_JMPREL");
            if (!why.empty()) return why;
        }
        return d_.has(DT_RELR) ? relr() : "";
    }

private:
    bool target_ok(uint64_t address) const
    {
        return image_.mapped(address, sizeof(ElfW(Addr)), textrel_ ? 0 : PF_W);
    }

    template <typename Entry>
    std::string table(int64_t tag, int64_t size_tag, Entry, const char *name)
    {
        if (!d_.has(tag)) return "";
        if (!d_.has(size_tag)) return std::string(name) + " without its size";
        std::vector<Entry> entries;
        if (d_.at(size_tag) % sizeof(Entry) != 0 ||
            !image_.read_array(d_.at(tag), d_.at(size_tag) / sizeof(Entry), &entries))
            return std::string(name) + " outside the loaded segments";
        const std::string fault = std::string("relocation in ") + name;
        for (const Entry &r : entries) {
            if (!target_ok(r.r_offset)) return fault + " outside the image";
            max_symbol = std::max(max_symbol, symbol_of(r.r_info));
            if (type_of(r.r_info) == irelative_type) {
                // The linker calls the resolver at the addend: it must be code of the plug-in.
                uint64_t resolver = 0;
                if constexpr (std::is_same_v<Entry, Rela>) resolver = static_cast<uint64_t>(r.r_addend);
                else if (!image_.read(r.r_offset, &resolver, sizeof resolver)) return fault + " outside the image";
                if (!image_.mapped(resolver, 1, PF_X)) return fault + " calls outside the code";
            }
        }
        return "";
    }

    // The first DT_RELACOUNT (DT_RELCOUNT) entries are relative ones, and the
    // linker asserts so.
    template <typename Entry>
    bool relative_first(int64_t tag, int64_t size_tag, int64_t count_tag, Entry) const
    {
        if (!d_.has(count_tag) || !d_.has(tag) || relative_type == ~0u) return true;
        std::vector<Entry> entries;
        const uint64_t n = std::min(d_.at(count_tag), d_.at(size_tag) / sizeof(Entry));
        if (!image_.read_array(d_.at(tag), n, &entries)) return false;
        for (const Entry &r : entries)
            if (type_of(r.r_info) != relative_type) return false;
        return true;
    }

    std::string relr() const
    {
        std::vector<Relr> words;
        if (!d_.has(DT_RELRSZ) || d_.at(DT_RELRSZ) % sizeof(Relr) != 0 ||
            !image_.read_array(d_.at(DT_RELR), d_.at(DT_RELRSZ) / sizeof(Relr), &words))
            return "DT_RELR outside the loaded segments";
        uint64_t next = 0;  // the word after the last address entry
        bool started = false;
        for (Relr word : words) {
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
        return "";
    }

    const Image &image_;
    const Dynamic &d_;
    bool textrel_ = false;
};

// Relocations name symbols by index, past the hashed ones too (imports need
// no hash entry); every symbol's name inside the strings, every resolver in
// the code.
std::string check_symbols(const Image &image, const Dynamic &d, uint64_t max_symbol, uint64_t strsz,
                          uint64_t *nsyms)
{
    if (max_symbol >= *nsyms) {
        if (!image.holds(d.at(DT_SYMTAB), (max_symbol + 1) * sizeof(Sym)))
            return "relocation names a symbol outside DT_SYMTAB";
        *nsyms = max_symbol + 1;
    }
    std::vector<Sym> symbols;
    if (!image.read_array(d.at(DT_SYMTAB), *nsyms, &symbols)) return "DT_SYMTAB outside the loaded segments";
    for (const Sym &sym : symbols) {
        if (sym.st_name >= strsz) return "symbol name outside DT_STRTAB";
        // The linker calls an indirect function's resolver while it relocates.
        if (ELF64_ST_TYPE(sym.st_info) == STT_GNU_IFUNC && sym.st_shndx != SHN_UNDEF &&
            !image.mapped(sym.st_value, 1, PF_X))
            return "symbol resolver outside the code";
    }
    return "";
}

// Symbol versions. The linker follows each chain to its last entry, whatever
// the counts say; every step moves forward, so a chain ends or leaves the
// image, and `steps` bounds them all.
class VersionCheck {
public:
    VersionCheck(const Image &image, const Dynamic &d, const std::vector<char> &strings)
        : image_(image), d_(d), strings_(strings) {}

    std::string run(uint64_t nsyms)
    {
        std::string why;
        if (d_.has(DT_VERDEF) && !(why = definitions()).empty()) return why;
        if (d_.has(DT_VERNEED) && !(why = needs()).empty()) return why;
        // Given versions, the linker takes the symbols' version table for granted.
        if ((d_.has(DT_VERDEF) || d_.has(DT_VERNEED)) && !d_.has(DT_VERSYM)) return "no DT_VERSYM";
        if (d_.has(DT_VERSYM)) {
            std::vector<uint16_t> versym;
            if (!image_.read_array(d_.at(DT_VERSYM), nsyms, &versym)) return "DT_VERSYM outside the loaded segments";
            for (uint16_t ndx : versym)
                if ((ndx & 0x7fff) > versions_) return "symbol version out of range";
        }
        return "";
    }

private:
    uint64_t strsz() const { return strings_.size(); }
    std::string string_at(uint64_t offset) const { return std::string(strings_.data() + offset); }

    std::string definitions()
    {
        for (uint64_t at_def = d_.at(DT_VERDEF);;) {
            if (++steps_ > max_version_entries) return "DT_VERDEF damaged (too many entries)";
            ElfW(Verdef) def;
            ElfW(Verdaux) aux;
            if (!image_.read(at_def, &def, sizeof def) || !image_.read(at_def + def.vd_aux, &aux, sizeof aux))
                return "DT_VERDEF outside the loaded segments";
            if (aux.vda_name >= strsz()) return "version name outside DT_STRTAB";
            versions_ = std::max<uint64_t>(versions_, def.vd_ndx & 0x7fff);
            if (def.vd_next == 0) return "";
            at_def += def.vd_next;
        }
    }

    std::string needs()
    {
        for (uint64_t at_need = d_.at(DT_VERNEED);;) {
            if (++steps_ > max_version_entries) return "DT_VERNEED damaged (too many entries)";
            ElfW(Verneed) need;
            if (!image_.read(at_need, &need, sizeof need)) return "DT_VERNEED outside the loaded segments";
            if (need.vn_file >= strsz()) return "version name outside DT_STRTAB";
            // The linker looks the file up among the libraries loaded with
            // the plug-in, and asserts that it finds it.
            if (std::none_of(d_.needed.begin(), d_.needed.end(),
                             [&](uint64_t n) { return string_at(n) == string_at(need.vn_file); }))
                return "version needed from a library not needed";
            uint64_t at_aux = at_need + need.vn_aux;
            for (uint32_t a = 0; a < need.vn_cnt; ++a) {
                if (++steps_ > max_version_entries) return "DT_VERNEED damaged (too many entries)";
                ElfW(Vernaux) aux;
                if (!image_.read(at_aux, &aux, sizeof aux)) return "DT_VERNEED outside the loaded segments";
                if (aux.vna_name >= strsz()) return "version name outside DT_STRTAB";
                versions_ = std::max<uint64_t>(versions_, aux.vna_other & 0x7fff);
                if (aux.vna_next == 0) break;
                at_aux += aux.vna_next;
            }
            if (need.vn_next == 0) return "";
            at_need += need.vn_next;
        }
    }

    const Image &image_;
    const Dynamic &d_;
    const std::vector<char> &strings_;
    uint64_t versions_ = 1;  // 0 and 1 always exist: local and global
    uint64_t steps_ = 0;
};

// Start-up and shut-down code and the arrays of it.
std::string check_startup(const Image &image, const Dynamic &d)
{
    if (d.has(DT_INIT) && !image.mapped(d.at(DT_INIT), 1, PF_X)) return "DT_INIT outside the code";
    if (d.has(DT_FINI) && !image.mapped(d.at(DT_FINI), 1, PF_X)) return "DT_FINI outside the code";
    const struct { int64_t tag, size_tag; const char *name; } arrays[] = {
        {DT_INIT_ARRAY, DT_INIT_ARRAYSZ, "DT_INIT_ARRAY"}, {DT_FINI_ARRAY, DT_FINI_ARRAYSZ, "DT_FINI_ARRAY"},
        {DT_PREINIT_ARRAY, DT_PREINIT_ARRAYSZ, "DT_PREINIT_ARRAY"}};
    for (const auto &a : arrays)
        if (d.has(a.tag) && !image.mapped(d.at(a.tag), d.has(a.size_tag) ? d.at(a.size_tag) : 0))
            return std::string(a.name) + " outside the loaded segments";
    if (d.has(DT_PLTGOT) && !image.mapped(d.at(DT_PLTGOT), 3 * sizeof(ElfW(Addr))))
        return "DT_PLTGOT outside the loaded segments";
    return "";
}

}  // namespace

std::string check_dynamic(const Image &image) {
    Dynamic d;
    std::vector<char> strings;
    uint64_t nsyms = 0;
    std::string why;
    if (!(why = read_dynamic(image, &d)).empty() || !(why = check_layout(d)).empty() ||
        !(why = read_strings(image, d, &strings)).empty() || !(why = count_symbols(image, d, &nsyms)).empty())
        return why;
    RelocationCheck relocations(image, d);
    if (!(why = relocations.run()).empty() ||
        !(why = check_symbols(image, d, relocations.max_symbol, strings.size(), &nsyms)).empty() ||
        !(why = VersionCheck(image, d, strings).run(nsyms)).empty())
        return why;
    return check_startup(image, d);
}

}  // namespace loader
}  // namespace minihost
