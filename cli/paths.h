// Where the tool finds its plug-ins and the bundled datasets.
#ifndef QUORV_CLI_PATHS_H
#define QUORV_CLI_PATHS_H

#include <string>

namespace cli {

// Folder of the running executable; throws cli::Error when the system cannot
// tell (on Linux, without /proc).
std::string executable_dir();

// Path of a plug-in file: in $QUORV_PLUGIN_DIR when set, else beside the
// executable, else in ../lib/quorv from it (an installed tree).
std::string plugin_path(const std::string &file_name);

// The bundled datasets: ../share/quorv/data from the executable when
// installed, else data/ beside it, else the source tree's data folder.
std::string default_data_dir();

bool is_directory(const std::string &path);
bool is_file(const std::string &path);

}  // namespace cli

#endif
