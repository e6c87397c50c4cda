// Failures of the command-line tool: thrown anywhere, reported once by main as
// one line "quorv: MESSAGE" with a non-zero exit status.
#ifndef QUORV_CLI_ERROR_H
#define QUORV_CLI_ERROR_H

#include <stdexcept>
#include <string>

namespace cli {

// Bad data, files, models or plug-in refusals: exit status 1.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string &message) : std::runtime_error(message) {}
};

// A command line that cannot be understood: exit status 2.
class UsageError : public Error {
public:
    explicit UsageError(const std::string &message) : Error(message) {}
};

}  // namespace cli

#endif
