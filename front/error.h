// Failures of the front-end library: one exception type whose message is
// complete ("PATH:LINE: ..."), for each front end to show its own way (the
// tool on one escaped line, Python as ValueError). Messages quote user text
// raw; showing it safely is the front end's part.
#ifndef QUORV_FRONT_ERROR_H
#define QUORV_FRONT_ERROR_H

#include <stdexcept>
#include <string>

namespace front {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string &message) : std::runtime_error(message) {}
};

}  // namespace front

#endif
