// The tool's output files: the front library's (front/files.h), with the
// tool's rule for standard output on top: when the results go to "-", every
// other line the tool and the plug-ins print goes to standard error.
#ifndef QUORV_CLI_FILES_H
#define QUORV_CLI_FILES_H

#include "front/files.h"

#include <string>
#include <vector>

namespace cli {

using front::read_all;
using front::read_file;
using front::write_all;
using front::write_file_atomically;

class OutputFile : public front::OutputFile {
public:
    OutputFile(const std::string &path, const std::vector<std::string> &inputs);
};

// For the tool's signal handlers (signals.h): async-signal-safe.
using front::remove_unfinished_outputs;

}  // namespace cli

#endif
