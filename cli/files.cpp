// File input and output.
#include "files.h"

#include "error.h"
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace cli {

namespace {

// The temporary being written, for the signal handler: an interrupted run
// leaves nothing behind. One output at a time.
char g_unfinished[4096];

extern "C" void remove_unfinished(int signal_number)
{
    if (g_unfinished[0])
        unlink(g_unfinished);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void watch(const std::string &temporary)
{
    if (temporary.size() >= sizeof g_unfinished)
        return;
    std::memcpy(g_unfinished, temporary.c_str(), temporary.size() + 1);
    for (int s : kStopSignals)
        std::signal(s, remove_unfinished);
}

void unwatch() { g_unfinished[0] = '\0'; }

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
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

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
                        [fd](const char *p, size_t n) { return ::write(fd, p, n); });
}

bool read_all(int fd, void *data, size_t size)
{
    return transfer_all(static_cast<char *>(data), size, [fd](char *p, size_t n) { return ::read(fd, p, n); });
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
    struct stat out;
    bool exists = false;
    if (path == "-") {
        exists = fstat(1, &out) == 0;
    } else {
        target_ = path;
        exists = stat(path.c_str(), &out) == 0;
        if (!exists && errno != ENOENT)
            fail(errno);
        struct stat link;
        if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            if (!exists)
                throw Error("cannot write " + path + ": a symbolic link to nothing");
            if (S_ISREG(out.st_mode)) {
                // Replace the file the link points to, and keep the link.
                char *real = realpath(path.c_str(), nullptr);
                if (!real)
                    fail(errno);
                target_ = real;
                std::free(real);
            }
        }
    }

    // Names differ easily (links, "./", folders); the device and inode do not.
    for (const std::string &input : inputs) {
        if (exists && (S_ISREG(out.st_mode) || path != "-") && same_file(input, path))
            throw Error((path == "-" ? std::string("standard output") : path) + " is the same file as the input " +
                        input + "; writing it would destroy that input");
    }

    if (path == "-") {
        // Standard output carries the results alone; the tool's other lines
        // and the plug-ins' console text go to standard error.
        std::fflush(stdout);
        fd_ = dup(1);
        if (fd_ < 0 || dup2(2, 1) < 0)
            fail(errno);
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

    const std::string base = target_.substr(folder_of(target_).size());
    temp_ = folder_of(target_) + "." + base + ".tmp-XXXXXX";
    fd_ = mkstemp(&temp_[0]);
    if (fd_ < 0) {
        const int error = errno;
        temp_.clear();
        fail(error);
    }
    watch(temp_);
    relink_ = exists && out.st_nlink > 1;
    mode_t mode;
    if (exists) {
        mode = out.st_mode & 07777;
        if (fchown(fd_, out.st_uid, out.st_gid) != 0) {
            // Only root may give the file away; the mode is kept all the same.
        }
    } else {
        // mkstemp makes the file private; give it the mode a plain create would.
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd_, mode) != 0)
        fail(errno);
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
    temp_.clear();
    unwatch();
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
    if (!write_all(fd_, buffer_.data(), buffer_.size()))
        fail(errno ? errno : EIO);
    buffer_.clear();
}

void OutputFile::commit()
{
    flush();
    if (temp_.empty()) {
        // Standard output or a special file: nothing to sync or rename.
        if (close(fd_) != 0 && errno != EINTR)
            fail(errno);
        fd_ = -1;
        committed_ = true;
        return;
    }
    if (fsync(fd_) != 0)
        fail(errno);
    if (relink_) {
        // Several names share this file: rewrite it in place so that all of
        // them see the new content (at the cost of the atomic replacement).
        const int target = open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (target < 0)
            fail(errno);
        char block[65536];
        ssize_t got = 0;
        int error = lseek(fd_, 0, SEEK_SET) == 0 ? 0 : errno;
        while (!error && (got = read(fd_, block, sizeof block)) != 0) {
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 || !write_all(target, block, static_cast<size_t>(got)))
                error = errno ? errno : EIO;
        }
        if (!error && fsync(target) != 0)
            error = errno;
        if (close(target) != 0 && !error)
            error = errno;
        if (error)
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
    temp_.clear();
    unwatch();
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

}  // namespace cli
