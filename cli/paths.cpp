// Locating plug-ins and data relative to the executable itself, so that the
// tool always loads the plug-ins it was built with. When the system cannot
// say where the executable is, nothing is looked for in the current folder.
#include "paths.h"
#include "error.h"
#include "platform.h"

#include <cstdlib>
#include <sys/stat.h>

#ifndef QUORV_SOURCE_DATA_DIR
#define QUORV_SOURCE_DATA_DIR ""
#endif

namespace cli {

std::string executable_dir()
{
    const std::string path = executable_path();
    const size_t slash = path.rfind('/');
    if (path.empty() || slash == std::string::npos)
#ifdef _WIN32
        throw Error("cannot find the folder of quorv.exe, where its plug-ins are (QUORV_PLUGIN_DIR names it)");
#else
        throw Error("cannot find the folder of the quorv program, where its plug-ins are: /proc/self/exe "
                    "cannot be read (is /proc mounted?); QUORV_PLUGIN_DIR names the folder");
#endif
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool is_directory(const std::string &path)
{
    struct stat s;
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

bool is_file(const std::string &path)
{
    struct stat s;
    return stat(path.c_str(), &s) == 0 && S_ISREG(s.st_mode);
}

std::string plugin_path(const std::string &file_name)
{
    const char *override_dir = std::getenv("QUORV_PLUGIN_DIR");
    if (override_dir && *override_dir)
        return join_path(override_dir, file_name);  // one separator in messages, as the user wrote it
    const std::string beside = join_path(executable_dir(), file_name);
    const std::string installed = executable_dir() + "/../lib/quorv/" + file_name;
    return !is_file(beside) && is_file(installed) ? installed : beside;
}

std::string default_data_dir()
{
    std::string dir;
    try {
        dir = executable_dir();
    } catch (const Error &) {
        return QUORV_SOURCE_DATA_DIR;
    }
    const std::string installed = dir + "/../share/quorv/data";
    if (is_directory(installed))
        return installed;
    // A folder shipped as it is (the Windows build) has them beside the program.
    const std::string beside = dir + "/data";
    return is_directory(beside) ? beside : QUORV_SOURCE_DATA_DIR;
}

}  // namespace cli
