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

const char *known_signal_name(int signal_number)
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
    return nullptr;
}

std::string signal_name(int signal_number)
{
    const char *name = known_signal_name(signal_number);
    return name ? name : "signal " + std::to_string(signal_number);
}

std::string shown_path(const std::string &path) { return path == "-" ? "standard input" : path; }

std::string input_identity(const std::string &path)
{
#ifdef _WIN32
    return path;
#else
    return path == "-" ? "/dev/stdin" : path;
#endif
}

std::string join_path(const std::string &dir, const std::string &name)
{
    if (dir.empty())
        return name;
    char separator = '/';
#ifdef _WIN32
    if (dir.find('\\') != std::string::npos && dir.find('/') == std::string::npos)
        separator = '\\';
#endif
    const char last = dir.back();
    if (last == '/' || last == separator)
        return dir + name;
    return dir + separator + name;
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

#endif

}  // namespace cli
