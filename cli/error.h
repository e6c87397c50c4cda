// Failures of the command-line tool: thrown anywhere, reported once by main as
// one line "quorv: MESSAGE" with a non-zero exit status.
#ifndef QUORV_CLI_ERROR_H
#define QUORV_CLI_ERROR_H

#include "front/error.h"
#include "text.h"

#include <stdexcept>
#include <string>

namespace cli {

// Bad data, files, models or plug-in refusals: exit status 1. Messages quote
// names, cells and paths from the user's files, so they are made visible
// here, once for all: no control sequence or NUL reaches the terminal.
// The front library throws front::Error, of which this is a kind: main
// catches that, and escapes its message too.
class Error : public front::Error {
public:
    explicit Error(const std::string &message) : front::Error(visible(message)) {}
};

// A command line that cannot be understood: exit status 2.
class UsageError : public Error {
public:
    explicit UsageError(const std::string &message) : Error(message) {}
};

}  // namespace cli

#endif
