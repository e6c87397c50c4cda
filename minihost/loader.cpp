// Loading a plug-in: its file is checked for the version stamp before any of
// its code runs (dlopen runs static constructors), then it is opened.
#include "minihost.h"
#include "resources/version_stamp.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// Stamps longer than this are wrong anyway; no need to read more to say so.
constexpr size_t max_stamp = 4096;

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

// The stamp as it can be shown on one line.
std::string quoted(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < 120; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') out += "\\n";
        else if (c == '\\' || c == '\'') (out += '\\') += static_cast<char>(c);
        else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (text.size() > 120) out += "...";
    return "'" + out + "'";
}

// Finds the stamp section and compares its text. Answers why the file is no
// plug-in, or an empty string when it is one.
std::string check_image(const File &f) {
    unsigned char ident[EI_NIDENT];
    if (!f.read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return "not an ELF file";
    if (ident[EI_CLASS] != native_class || ident[EI_DATA] != native_data) return "built for another machine";
    Ehdr eh;
    if (!f.read(0, &eh, sizeof eh)) return "damaged ELF file (header cut short)";
    if (eh.e_type != ET_DYN) return "not a shared object";
    if (native_machine != EM_NONE && eh.e_machine != native_machine) return "built for another machine";
    if (eh.e_shoff == 0) return "no version stamp";  // no section table to hold one
    if (eh.e_shentsize < sizeof(Shdr)) return "damaged ELF file (section header size)";

    // Section 0 carries the real counts when they do not fit the header fields.
    Shdr first;
    if (!f.read(eh.e_shoff, &first, sizeof first)) return "damaged ELF file (section headers out of range)";
    const uint64_t shnum = eh.e_shnum ? eh.e_shnum : first.sh_size;
    const uint64_t shstrndx = eh.e_shstrndx == SHN_XINDEX ? first.sh_link : eh.e_shstrndx;
    uint64_t phnum = eh.e_phnum == PN_XNUM ? first.sh_info : eh.e_phnum;

    if (shnum > (f.size - eh.e_shoff) / eh.e_shentsize) return "damaged ELF file (section headers out of range)";
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
    for (uint64_t i = 0; i < phnum; ++i) {
        Phdr ph;
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
        if (stamp != QUORV_STAMP_TEXT)
            return "version stamp " + quoted(stamp) + " does not match " + quoted(QUORV_STAMP_TEXT);
        return "";
    }
    return "no version stamp";
}

}  // namespace

std::unique_ptr<Plugin> Plugin::load(const std::string &path, std::string *error) {
    std::string ignored;
    std::string &why = error ? *error : ignored;
    why.clear();

    // Non-blocking, so that a FIFO given by mistake does not hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    {
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
        const std::string reason = check_image(file);
        if (!reason.empty()) {
            why = path + " is not a plug-in: " + reason;
            return nullptr;
        }
    }

    // Without a slash dlopen would search the library path instead of the file just checked.
    const std::string target = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void *handle = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *msg = dlerror();
        why = "cannot load " + path + ": " + (msg ? msg : "unknown error");
        return nullptr;
    }

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

    std::unique_ptr<Plugin> p(new Plugin());
    p->handle_ = handle;
    p->entry_ = reinterpret_cast<void (*)(int, mxArray **, int, const mxArray **)>(sym);
    p->path_ = path;
    return p;
}

Plugin::~Plugin() {
    if (handle_) ::dlclose(handle_);
}

}  // namespace minihost
