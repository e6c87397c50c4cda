// The tool's output files: the front library's (front/files.h), with the
// tool's rules for standard output on top: when the results go to "-", every
// other line the tool and the plug-ins print goes to standard error; and a
// terminal there sees every line through visible() (text.h), since class
// names and kept cells come from files and may hold control sequences, while
// a file or pipe gets the bytes unchanged.
#ifndef QUORV_CLI_FILES_H
#define QUORV_CLI_FILES_H

#include "front/files.h"

#include <string>
#include <string_view>
#include <vector>

namespace cli {

using front::read_all;
using front::read_file;
using front::write_all;
using front::write_file_atomically;

class OutputFile : public front::OutputFile {
public:
    OutputFile(const std::string &path, const std::vector<std::string> &inputs);
    void write(std::string_view data);
    void commit();

private:
    bool terminal_ = false;
    // On a terminal, the unfinished last line: escaped once whole, so that a
    // character split between two writes is not taken for invalid UTF-8.
    std::string pending_;
};

// For the tool's signal handlers (signals.h): async-signal-safe.
using front::remove_unfinished_outputs;

}  // namespace cli

#endif
