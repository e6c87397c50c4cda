// The first checks of a plug-in's ELF file: an ELF shared object for this
// machine, within the size limits, its section and program headers inside the
// file, every loaded segment backed by the file, and a version stamp whose
// text is ours and whose name is the one asked for. Only then are the dynamic
// tables read (elf_dynamic.cpp).
#include "elf_image.h"
#include "quoted.h"
#include "resources/version_stamp.h"

#include <cstring>

namespace minihost {
namespace loader MINIHOST_INTERNAL {
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

constexpr unsigned char native_class = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;

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

// The program headers. dlopen maps segments without checking that the file
// holds them; touching a page past the end of a cut-short file would kill
// the process.
std::string read_segments(const File &f, const Ehdr &eh, uint64_t phnum, std::vector<Phdr> *segments)
{
    if (phnum == 0) return "damaged ELF file (no program headers)";
    if (eh.e_phentsize < sizeof(Phdr) || eh.e_phoff > f.size ||
        phnum > (f.size - eh.e_phoff) / eh.e_phentsize)
        return "damaged ELF file (program headers out of range)";
    segments->assign(static_cast<size_t>(phnum), Phdr());
    for (uint64_t i = 0; i < phnum; ++i) {
        Phdr &ph = (*segments)[static_cast<size_t>(i)];
        if (!f.read(eh.e_phoff + i * eh.e_phentsize, &ph, sizeof ph))
            return "damaged ELF file (program headers out of range)";
        if (ph.p_type == PT_LOAD && !f.inside(ph.p_offset, ph.p_filesz))
            return "damaged ELF file (segment past the end of the file)";
    }
    return "";
}

}  // namespace

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

    std::vector<Phdr> segments;
    const std::string unread = read_segments(f, eh, phnum, &segments);
    if (!unread.empty()) return unread;

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

}  // namespace loader
}  // namespace minihost
