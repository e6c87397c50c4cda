// The tool's side of output files: standard output kept for the results. The
// handlers that leave no temporary behind when a signal ends the tool are in
// signals.cpp: they change process-wide state, which the front library that
// the Python package shares never does.
#include "files.h"

#include "front/error.h"

#include <cstdio>

#ifndef _WIN32
#include <unistd.h>
#else
#include <io.h>
#endif

namespace cli {

OutputFile::OutputFile(const std::string &path, const std::vector<std::string> &inputs)
    : front::OutputFile(path, inputs)
{
    if (path != "-")
        return;
    // Standard output carries the results alone; the tool's other lines and
    // the plug-ins' console text go to standard error.
    std::fflush(stdout);
    if (dup2(2, 1) < 0)
        throw front::Error("cannot write standard output: cannot set standard error apart");
}

}  // namespace cli
