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

}  // namespace

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

}  // namespace loader
}  // namespace minihost
