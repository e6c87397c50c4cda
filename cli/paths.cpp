// Locating plug-ins and data relative to the executable itself, so that the
// tool always loads the plug-ins it was built with.
#include "paths.h"
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
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
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
        return std::string(override_dir) + "/" + file_name;
    const std::string beside = executable_dir() + "/" + file_name;
    const std::string installed = executable_dir() + "/../lib/quorv/" + file_name;
    return !is_file(beside) && is_file(installed) ? installed : beside;
}

std::string default_data_dir()
{
    const std::string installed = executable_dir() + "/../share/quorv/data";
    if (is_directory(installed))
        return installed;
    // A folder shipped as it is (the Windows build) has them beside the program.
    const std::string beside = executable_dir() + "/data";
    return is_directory(beside) ? beside : QUORV_SOURCE_DATA_DIR;
}

}  // namespace cli
