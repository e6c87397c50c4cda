// One fixed list of calls of both plug-ins, written down in full: valid calls
// on bundled data and calls with arguments of every other class. Two hosts
// that write the same transcript gave the plug-ins the same answers.
#ifndef QUORV_TESTS_TRANSCRIPT_H
#define QUORV_TESTS_TRANSCRIPT_H

#include <string>

namespace qt {

// Every call's status, error text, console (times masked) and outputs (shape
// and every value in hexadecimal, so that equal text means equal bits).
std::string transcript();

}  // namespace qt

#endif
