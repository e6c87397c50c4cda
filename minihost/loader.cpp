// Loading a plug-in on Linux: its file is checked before any of its code runs
// (dlopen runs static constructors). Its bytes are first copied into a sealed
// memory file, which nothing can change any more; that copy goes through the
// ELF checks (elf_header.cpp, elf_dynamic.cpp) and the digest recorded at
// build time (digest_posix.cpp), is tried in a child process, and only then
// opened. So the bytes loaded are the bytes checked, whatever is renamed over
// the path or written into the file meanwhile.
#include "elf_image.h"
#include "host_state.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace minihost {
namespace {

using loader::File;
using loader::Phdr;

// A trial load that takes longer than this is taken for a hang.
constexpr int trial_timeout_ms = 10000;

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

// Loads the file once in a child process first. The ELF checks cover what
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

// /proc/self/fd names the descriptor the checks read; without /proc there is
// no way to load exactly that file.
bool proc_mounted() {
    struct stat st;
    return ::stat("/proc/self/fd", &st) == 0 && S_ISDIR(st.st_mode);
}

// A sealed memory copy of the open file's first `size` bytes (fewer if it
// shrank meanwhile), its size in *copied: from then on no writer can change
// the bytes checked and loaded. The descriptor, or -1 with *why set.
int sealed_copy(int fd, uint64_t size, uint64_t *copied, std::string *why) {
    // Executable by request where the kernel knows the flag (a default of
    // "not executable" would make the load fail); older kernels refuse it.
    constexpr unsigned exec_flag = 0x10;  // MFD_EXEC, which older headers lack
    int copy = ::memfd_create("quorv-plugin", MFD_CLOEXEC | MFD_ALLOW_SEALING | exec_flag);
    if (copy < 0 && errno == EINVAL) copy = ::memfd_create("quorv-plugin", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (copy < 0) {
        *why = std::string("cannot copy it into memory to check it: ") + std::strerror(errno);
        return -1;
    }
    std::vector<char> buffer(1 << 16);
    *copied = 0;
    int error = 0;
    while (!error && *copied < size) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - *copied));
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(*copied));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        for (ssize_t put = 0; !error && put < got;) {
            const ssize_t k = ::write(copy, buffer.data() + put, static_cast<size_t>(got - put));
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) error = k < 0 ? errno : EIO;
            else put += k;
        }
        *copied += static_cast<uint64_t>(got);
    }
    if (!error && ::fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        error = errno;
    if (error) {
        *why = std::string("cannot copy it into memory to check it: ") + std::strerror(error);
        ::close(copy);
        return -1;
    }
    return copy;
}

// Opens the file checked, through the descriptor `fd` still open on it (the
// path may name another file by now); null with *why set when it fails. The
// dynamic linker hands back an object already loaded under the same name
// without opening anything, and a descriptor number is reused once closed; so
// the object it answers must be mapped from this very file, or the same file
// is tried under another number.
void *open_checked(int fd, const struct stat &st, const std::string &path, std::string *why) {
    void *handle = nullptr;
    std::vector<int> spares;
    for (int number = fd; !handle;) {
        const std::string target = "/proc/self/fd/" + std::to_string(number);
        const std::string trial = trial_load(target);
        if (!trial.empty()) {
            *why = path + " is not a plug-in: " + trial;
            break;
        }
        dlerror();
        handle = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *msg = dlerror();
            std::string text = msg ? msg : "unknown error";
            if (text.compare(0, target.size() + 2, target + ": ") == 0) text.erase(0, target.size() + 2);
            *why = "cannot load " + path + ": " + text;
            break;
        }
        if (maps_file(handle, st)) break;
        ::dlclose(handle);
        handle = nullptr;
        number = spares.size() < 64 ? ::fcntl(fd, F_DUPFD_CLOEXEC, number + 1) : -1;
        if (number < 0) {
            *why = "cannot load " + path + ": another object is loaded under its descriptor's name";
            break;
        }
        spares.push_back(number);
    }
    for (int spare : spares) ::close(spare);
    return handle;
}

// The plug-in `file` (open as `fd`) as a sealed memory copy that passed the
// ELF and digest checks, *copy_st its status; null with *why set.
std::unique_ptr<File> checked_copy(const File &file, int fd, const std::string &path, const std::string &name,
                                   struct stat *copy_st, std::string *why) {
    if (file.size > loader::max_file) {  // refused for its size, and not worth a copy
        *why = path + " is not a plug-in: " + loader::check_image(file, name);
        return nullptr;
    }
    uint64_t copied = 0;
    const int sealed = sealed_copy(fd, file.size, &copied, why);
    if (sealed < 0) {
        *why = "cannot load " + path + ": " + *why;
        return nullptr;
    }
    std::unique_ptr<File> image(new File(sealed));
    image->size = copied;
    if (::fstat(sealed, copy_st) != 0) {
        *why = "cannot load " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    const std::string reason = loader::check_image(*image, name);
    if (!reason.empty()) {
        *why = path + " is not a plug-in: " + reason;
        return nullptr;
    }
    *why = loader::check_digest(path, *image);
    return why->empty() ? std::move(image) : nullptr;
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
    struct stat sealed_st;
    const std::unique_ptr<File> image = checked_copy(file, fd, path, name, &sealed_st, &why);
    if (!image) return nullptr;
    if (!proc_mounted()) {
        why = "cannot load " + path + ": /proc is not mounted (the loader opens plug-ins through /proc/self/fd)";
        return nullptr;
    }
    const host::State &s = host::state();
    if (s.load_hook) s.load_hook(path, s.load_hook_context);

    void *handle = open_checked(image->descriptor(), sealed_st, path, &why);
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
