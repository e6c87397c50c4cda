// The tool's side of output files: standard output kept for the results. The
// handlers that leave no temporary behind when a signal ends the tool are in
// signals.cpp: they change process-wide state, which the front library that
// the Python package shares never does.
#include "files.h"

#include "text.h"

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
    terminal_ = isatty(1) == 1;
    std::fflush(stdout);
    if (dup2(2, 1) < 0)
        throw front::Error("cannot write standard output: cannot set standard error apart");
}

void OutputFile::write(std::string_view data)
{
    if (!terminal_) {
        front::OutputFile::write(data);
        return;
    }
    pending_.append(data);
    std::string shown;
    size_t start = 0;
    for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1)
        shown += visible(std::string_view(pending_).substr(start, end - start)) + "\n";
    pending_.erase(0, start);
    front::OutputFile::write(shown);
}

void OutputFile::commit()
{
    if (!pending_.empty())
        front::OutputFile::write(visible(pending_));
    pending_.clear();
    front::OutputFile::commit();
}

}  // namespace cli
