// File input and output. The temporaries of unfinished outputs are listed in
// a fixed table of atomic pointers, the one piece of shared state here: a
// signal handler may read it at any moment, and threads claim and release
// their entries without locks.
#include "files.h"

#include "error.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <process.h>
#include <windows.h>
// Windows has no symbolic links in stat, no owners or modes to keep, no
// folders to sync; files are opened as bytes and not inherited.
#define O_CLOEXEC (_O_BINARY | _O_NOINHERIT)
#define O_NOCTTY 0
#define O_DIRECTORY 0
#define S_ISLNK(mode) false
#define getpid _getpid
namespace {
inline int lstat(const char *path, struct stat *s) { return stat(path, s); }
inline char *realpath(const char *path, char *) { return _fullpath(nullptr, path, 0); }
inline int fchown(int, int, int) { return 0; }
inline int fchmod(int, int) { return 0; }
inline int fsync(int fd) { return _commit(fd); }
inline int ftruncate(int fd, long long size) { return _chsize_s(fd, size) == 0 ? 0 : -1; }
}  // namespace
#else
#include <unistd.h>
#endif

namespace front {

namespace {

constexpr int kSlots = 64;
std::atomic<const char *> g_unfinished[kSlots];
static_assert(ATOMIC_POINTER_LOCK_FREE == 2, "the signal handler reads the table without locks");

int watch(const char *temporary)
{
    for (int i = 0; i < kSlots; ++i) {
        const char *expected = nullptr;
        if (g_unfinished[i].compare_exchange_strong(expected, temporary))
            return i;
    }
    return -1;  // more outputs at once than slots: this one is not covered
}

void unwatch(int *slot)
{
    if (*slot >= 0)
        g_unfinished[*slot].store(nullptr);
    *slot = -1;
}

// Holds signals off while a temporary is created and listed (a handler run in
// between would end the program and leave the file behind, unlisted), and
// while a file is rewritten in place (it would be left half old, half new).
class SignalsHeld {
#ifndef _WIN32
public:
    SignalsHeld()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
#endif
};

// Syncs a folder, so that a rename in it survives a crash.
void sync_folder(const std::string &dir)
{
    const int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

std::string folder_of(const std::string &path)
{
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
#else
    const size_t slash = path.rfind('/');
#endif
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// A new file beside `target`, created exclusively with `mode` (less the
// umask, which the system applies: it is never read or changed here).
int create_temporary(const std::string &target, int mode, std::string *name)
{
    static std::atomic<unsigned long> counter{0};
    const std::string stem = folder_of(target) + "." + target.substr(folder_of(target).size()) + ".tmp-";
    const char digits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Unpredictable enough for a name that O_EXCL guards anyway.
        unsigned long long x = static_cast<unsigned long long>(
                                   std::chrono::steady_clock::now().time_since_epoch().count()) ^
                               (static_cast<unsigned long long>(getpid()) << 32) ^
                               (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
        x ^= x >> 31;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 29;
        *name = stem;
        for (int i = 0; i < 6; ++i, x /= 62)
            *name += digits[x % 62];
        const int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

#ifdef _WIN32

std::wstring wide(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

int errno_of(DWORD code)
{
    switch (code) {
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    default: return EIO;
    }
}

// The volume and file index of an open file: Windows' device and inode.
bool file_id(HANDLE h, BY_HANDLE_FILE_INFORMATION *info)
{
    return h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, info);
}

bool file_id(const std::string &path, BY_HANDLE_FILE_INFORMATION *info)
{
    const HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool ok = file_id(h, info);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

// The device a Windows file name stands for, whatever its folder: NUL, CON,
// COM1 and the like, also before a dot or blanks ("nul.model", "con .txt"),
// in any case; "" for the name of a file.
std::string device_of(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\:");
    std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char &c : base)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == device)
            return base;
    const std::string stem = base.substr(0, 3), number = base.size() > 3 ? base.substr(3) : "";
    const bool port = stem == "COM" || stem == "LPT";
    if (port && ((number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
                 number == "\xC2\xB2" || number == "\xC2\xB3"))
        return base;
    return "";
}

// Renames `from` over `to`, replacing it in one step. 0, or an errno value.
int replace_file(const std::string &from, const std::string &to)
{
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return errno_of(GetLastError());
}

#else

int replace_file(const std::string &from, const std::string &to)
{
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

#endif

// Reserves the room for `size` bytes of the open file without changing it
// (its size included): 0, or an errno value. ENOSPC or EFBIG here leave the
// file as it was; EOPNOTSUPP says the file system cannot promise the room.
int reserve(int fd, long long size)
{
    if (size <= 0)
        return 0;
#ifdef _WIN32
    FILE_ALLOCATION_INFO room;
    room.AllocationSize.QuadPart = size;
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return SetFileInformationByHandle(h, FileAllocationInfo, &room, sizeof room) ? 0 : errno_of(GetLastError());
#else
    int error;
    do
        error = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0 ? 0 : errno;
    while (error == EINTR);
    return error == ENOSYS ? EOPNOTSUPP : error;
#endif
}

// Copies the finished temporary over the multiply linked `target`, in place,
// so that it ends as the old file or the whole new one: the room is reserved
// before a byte changes (a full disk changes nothing), and stop signals are
// held until the copy is whole (their handlers then find no temporary and let
// them end the program). 0, or an errno value. Only what no program can hold
// off (SIGKILL, a crash of the system) or an error of the device itself in
// mid-copy can still leave a mixture.
int rewrite_in_place(const std::string &temp, const std::string &target)
{
    const int source = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
        return errno;
    struct stat done;
    const int out = fstat(source, &done) == 0 ? open(target.c_str(), O_WRONLY | O_CLOEXEC) : -1;
    int error = out < 0 ? errno : reserve(out, done.st_size);
    if (!error) {
        [[maybe_unused]] const SignalsHeld held;
        char block[65536];
        for (long long at = 0; !error && at < done.st_size;) {
            const long got = static_cast<long>(read(source, block, sizeof block));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0 || !write_all(out, block, static_cast<size_t>(got)))
                error = got == 0 ? EIO : errno ? errno : EIO;
            at += got > 0 ? got : 0;
        }
        if (!error && ftruncate(out, static_cast<off_t>(done.st_size)) != 0)
            error = errno;
        if (!error && fsync(out) != 0)
            error = errno;
    }
    close(source);
    if (out >= 0 && close(out) != 0 && !error)
        error = errno;
    return error;
}

// Whether a file with several links can be rewritten in place here: its file
// system must be able to reserve room, or a full disk would leave a mixture.
bool can_reserve(const std::string &target)
{
#ifdef _WIN32
    (void)target;
    return true;
#else
    const int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return true;  // the commit says why it cannot write
    const int error = reserve(fd, 1);
    close(fd);
    return error != EOPNOTSUPP;
#endif
}

[[noreturn]] void cannot_write(const std::string &path, int error)
{
    throw Error("cannot write " + path + ": " + std::strerror(error));
}

// The file an output `path` replaces: the path itself, or the regular file a
// symbolic link names (the link is kept); *exists and *st say what is there.
std::string target_of(const std::string &path, struct stat *st, bool *exists)
{
    *exists = stat(path.c_str(), st) == 0;
    if (!*exists && errno != ENOENT)
        cannot_write(path, errno);
    struct stat link;
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
        return path;
    if (!*exists)
        throw Error("cannot write " + path + ": a symbolic link to nothing");
    if (!S_ISREG(st->st_mode))
        return path;
    char *real = realpath(path.c_str(), nullptr);
    if (!real)
        cannot_write(path, errno);
    const std::string target = real;
    std::free(real);
    return target;
}

#ifdef _WIN32
// A device name is the device in every folder: written in place, as a device
// is on Linux, before any work. With more to it ("nul.model") it can be no
// file's name, and is refused at once.
int open_device(const std::string &path, const std::string &device)
{
    const size_t slash = path.find_last_of("/\\:");
    if (path.size() - (slash == std::string::npos ? 0 : slash + 1) != device.size())
        throw Error("cannot write " + path + ": Windows takes this name for the device " + device +
                    "; choose another name");
    const int fd = open(("\\\\.\\" + device).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        cannot_write(path, errno);
    return fd;
}
#endif

}  // namespace

#ifdef _WIN32

bool same_file(const std::string &input, const std::string &output)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    const bool got = output == "-" ? file_id(reinterpret_cast<HANDLE>(_get_osfhandle(1)), &b) : file_id(output, &b);
    return got && file_id(input, &a) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

#else

bool same_file(const std::string &input, const std::string &output)
{
    struct stat a, b;
    const int got = output == "-" ? fstat(1, &b) : stat(output.c_str(), &b);
    return got == 0 && stat(input.c_str(), &a) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif

void remove_unfinished_outputs()
{
    for (int i = 0; i < kSlots; ++i)
        if (const char *path = g_unfinished[i].load())
            unlink(path);
}

// The loop of write_all and read_all: on after interrupted or partial
// transfers, false at an error or the end of the file.
template <typename Byte, typename Transfer>
bool transfer_all(Byte *p, size_t size, Transfer transfer)
{
    while (size > 0) {
        const auto done = transfer(p, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        p += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

bool write_all(int fd, const void *data, size_t size)
{
    return transfer_all(static_cast<const char *>(data), size,
                        [fd](const char *p, size_t n) { return ::write(fd, p, static_cast<unsigned>(std::min<size_t>(n, 1u << 30))); });
}

bool read_all(int fd, void *data, size_t size)
{
    return transfer_all(static_cast<char *>(data), size,
                        [fd](char *p, size_t n) { return ::read(fd, p, static_cast<unsigned>(std::min<size_t>(n, 1u << 30))); });
}

std::string read_file(const std::string &path, bool (*looks_right)(std::string_view start))
{
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
    std::string text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        const bool first = text.empty();
        text.append(buffer, got);
        if (first && looks_right && !looks_right(text))
            break;
    }
    const int failed = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (failed)
        throw Error("cannot read " + path + ": " + std::strerror(failed));
    return text;
}

OutputFile::OutputFile(const std::string &path, const std::vector<std::string> &inputs) : path_(path)
{
    if (path.empty())
        throw Error("cannot write an output file with an empty name");
#ifdef _WIN32
    if (const std::string device = device_of(path); !device.empty()) {
        fd_ = open_device(path, device);
        return;
    }
#endif
    struct stat out;
    bool exists = false;
    if (path == "-")
        exists = fstat(1, &out) == 0;
    else
        target_ = target_of(path, &out, &exists);

    // Names differ easily (links, "./", folders); the device and inode do not.
    for (const std::string &input : inputs) {
        if (exists && (S_ISREG(out.st_mode) || path != "-") && same_file(input, path))
            throw Error((path == "-" ? std::string("standard output") : path) + " is the same file as the input " +
                        input + "; writing it would destroy that input");
    }

    if (path == "-") {
        fd_ = dup(1);
        if (fd_ < 0)
            fail(errno);
#ifdef _WIN32
        // LF, as every file the tool writes: `-o - > f` and `-o f` give the same bytes.
        _setmode(fd_, _O_BINARY);
#endif
        return;
    }
    if (exists && S_ISDIR(out.st_mode))
        fail(EISDIR);
    if (exists && !S_ISREG(out.st_mode)) {
        // A FIFO, device or socket: written in place, never replaced.
        fd_ = open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            fail(errno);
        return;
    }

    relink_ = exists && out.st_nlink > 1;
    if (relink_ && !can_reserve(target_))
        throw Error("cannot write " + path_ + ": it has " + std::to_string(out.st_nlink) +
                    " hard links, and its file system cannot reserve the room to rewrite it in place safely; "
                    "write to a new name, or remove its other links first");

    // A new file gets what a plain create gives; a replacement starts private
    // and then takes the mode of the file it replaces.
    int error = 0;
    {
        [[maybe_unused]] const SignalsHeld held;  // nothing to hold on Windows
        fd_ = create_temporary(target_, exists ? 0600 : 0666, &temp_);
        if (fd_ >= 0)
            slot_ = watch(temp_.c_str());
        else
            error = errno;
    }
    if (fd_ < 0) {
        temp_.clear();
        fail(error);
    }
    if (exists) {
        if (fchown(fd_, out.st_uid, out.st_gid) != 0) {
            // Only root may give the file away; the mode is kept all the same.
        }
        if (fchmod(fd_, out.st_mode & 07777) != 0)
            fail(errno);
    }
}

OutputFile::~OutputFile()
{
    if (!committed_)
        discard();
}

void OutputFile::discard()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!temp_.empty())
        unlink(temp_.c_str());
    unwatch(&slot_);  // only now: a handler before the unlink must still find the name
    temp_.clear();
}

void OutputFile::fail(int error)
{
    discard();
    throw Error("cannot write " + path_ + ": " + std::strerror(error));
}

void OutputFile::write(std::string_view data)
{
    buffer_.append(data);
    if (buffer_.size() >= (1u << 20))
        flush();
}

void OutputFile::flush()
{
    errno = 0;
    if (!write_all(fd_, buffer_.data(), buffer_.size()))
        fail(errno ? errno : EIO);
    buffer_.clear();
}

void OutputFile::commit()
{
    flush();
    if (temp_.empty()) {
        // Standard output or a special file: nothing to sync or rename.
        if (close(fd_) != 0 && errno != EINTR) {
            fd_ = -1;
            fail(errno);
        }
        fd_ = -1;
        committed_ = true;
        return;
    }
    if (fsync(fd_) != 0)
        fail(errno);
    if (relink_) {
        // Several names share this file: rewrite it in place so that all of
        // them see the new content (at the cost of the atomic replacement).
        if (const int error = rewrite_in_place(temp_, target_))
            fail(error);
        discard();
        committed_ = true;
        return;
    }
    if (close(fd_) != 0) {
        fd_ = -1;
        fail(errno);
    }
    fd_ = -1;
    if (const int error = replace_file(temp_, target_))
        fail(error);
    unwatch(&slot_);  // a handler between the two unlinks a name that is gone
    temp_.clear();
    sync_folder(folder_of(target_));
    committed_ = true;
}

std::string OutputFile::name() const { return path_ == "-" ? "standard output" : path_; }

void write_file_atomically(const std::string &path, const std::string &content)
{
    OutputFile out(path, {});
    out.write(content);
    out.commit();
}

}  // namespace front
