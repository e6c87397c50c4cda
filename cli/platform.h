// The few things the tool does differently on POSIX systems and on Windows,
// so that every other file of the tool is the same on both. (The POSIX file
// calls' Windows meanings live with the only code that makes them, front/files.cpp.)
#ifndef QUORV_CLI_PLATFORM_H
#define QUORV_CLI_PLATFORM_H

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

// File name ending of the plug-ins the host of this platform loads.
#ifdef _WIN32
constexpr const char *kPluginSuffix = ".mexw64";
#else
constexpr const char *kPluginSuffix = ".mexa64";
#endif

// Signals that end the program from outside (Ctrl-C and the like).
#ifdef _WIN32
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGBREAK};
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#endif

// "SIGTERM", "SIGKILL" ...: the usual name of a signal, or "signal N".
std::string signal_name(int signal_number);
// The same name for a signal handler (no allocation), or nullptr when unknown.
const char *known_signal_name(int signal_number);

// An input path as the tool names it in messages: "standard input" for "-".
std::string shown_path(const std::string &path);
// An input path for the check that an output is not an input: standard
// input ("-") by the file it is (/dev/stdin), where the system can tell.
std::string input_identity(const std::string &path);

// `name` in the folder `dir`, joined with the separator the folder already
// uses, so that a message shows one kind of separator (Windows takes both).
std::string join_path(const std::string &dir, const std::string &name);

// Full path of the running program with '/' between folders, or "" when the
// system cannot tell.
std::string executable_path();

}  // namespace cli

#endif
