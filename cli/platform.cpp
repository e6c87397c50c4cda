// POSIX and Windows forms of the calls declared in platform.h.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace cli {

std::string signal_name(int signal_number)
{
    static const struct {
        int number;
        const char *name;
    } kNames[] = {
        {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"},
        {SIGFPE, "SIGFPE"}, {SIGILL, "SIGILL"},
#ifndef _WIN32
        {SIGHUP, "SIGHUP"}, {SIGKILL, "SIGKILL"}, {SIGQUIT, "SIGQUIT"}, {SIGBUS, "SIGBUS"},
        {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"},
        {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}, {SIGTRAP, "SIGTRAP"}, {SIGSYS, "SIGSYS"},
        {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
#else
        {SIGBREAK, "SIGBREAK"},
#endif
    };
    for (const auto &entry : kNames)
        if (entry.number == signal_number)
            return entry.name;
    return "signal " + std::to_string(signal_number);
}

#ifdef _WIN32

namespace {

std::string narrow(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

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

}  // namespace

std::string executable_path()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD got = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got == 0)
            return "";
        if (got < buffer.size()) {
            std::string path = narrow(std::wstring(buffer.data(), got));
            for (char &c : path)
                if (c == '\\')
                    c = '/';
            return path;
        }
        buffer.resize(buffer.size() * 2);
    }
}

namespace {

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

}  // namespace

bool same_file(const std::string &input, const std::string &output)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    const bool got = output == "-" ? file_id(reinterpret_cast<HANDLE>(_get_osfhandle(1)), &b) : file_id(output, &b);
    return got && file_id(input, &a) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

int replace_file(const std::string &from, const std::string &to)
{
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return errno_of(GetLastError());
}

#else

std::string executable_path()
{
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t got = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (got < 0)
            return "";
        if (static_cast<size_t>(got) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(got));
        buffer.resize(buffer.size() * 2);
    }
}

bool same_file(const std::string &input, const std::string &output)
{
    struct stat a, b;
    const int got = output == "-" ? fstat(1, &b) : stat(output.c_str(), &b);
    return got == 0 && stat(input.c_str(), &a) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int replace_file(const std::string &from, const std::string &to)
{
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

#endif

}  // namespace cli
