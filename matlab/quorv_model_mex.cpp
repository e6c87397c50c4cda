// quorv_model_mex: the core library (front/) bound for Octave and MATLAB, so
// that quorv_fit, quorv_predict, quorv_read_model and quorv_write_model run
// the tool's own rules (model file, scaling, class codes, draws, parameter
// checks and the classification policy) instead of copies of them.
//
// What it keeps true: a model struct holds exactly what front::Model holds,
// and struct -> Model -> struct gives it back; classification asks the
// quorv_perf plug-in on the path for every member's answers (through the
// host), so the plug-ins stay the only learners and classifiers. Every C++
// object lives inside run(), which returns before the host's error routine is
// called, so a refused call leaks nothing and unwinds no host frame.
//
// The commands live by job: host arrays (mex_arrays.*), the model struct
// (mex_model.*), classification (mex_classify.cpp), training's rules
// (mex_training.cpp); this file reads and writes model files and dispatches.
#include "mex_arrays.h"
#include "mex_commands.h"
#include "mex_model.h"

#include "front/error.h"
#include "front/files.h"
#include "front/model.h"

#include "mex.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace {

using front::Error;
using namespace quorv_mex;

// quorv_model_mex(COMMAND, ...): one command per call.
void run(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    if (nrhs < 1)
        throw Error("a command is needed: read, write, classify, unknown_label, scaling, classes, check, shuffle, "
                    "amounts, defaults, draw or merge");
    const std::string command = text_of(prhs[0], "the command");
    if (command == "read") {
        if (nrhs != 2 || nlhs > 1)
            throw Error("read takes a path");
        plhs[0] = model_struct(front::read_model(text_of(prhs[1], "the path")));
    } else if (command == "write") {
        if (nrhs != 3 || nlhs > 0)
            throw Error("write takes a model and a path");
        const front::Model m = model_of(prhs[1]);
        const std::string path = text_of(prhs[2], "the path");
        const std::string text = front::model_text(m);  // refuses what would not read back, before any file
        front::OutputFile out(path, {});
        out.write(text);
        out.commit();
    } else if (command == "classify") {
        classify(nlhs, plhs, nrhs, prhs);
    } else if (command == "unknown_label") {
        unknown_label(nlhs, plhs, nrhs, prhs);
    } else if (command == "scaling") {
        scaling(nlhs, plhs, nrhs, prhs);
    } else if (command == "classes") {
        classes(nlhs, plhs, nrhs, prhs);
    } else if (command == "check") {
        check(nlhs, plhs, nrhs, prhs);
    } else if (command == "shuffle") {
        shuffle(nlhs, plhs, nrhs, prhs);
    } else if (command == "amounts") {
        amounts(nlhs, plhs, nrhs, prhs);
    } else if (command == "defaults") {
        defaults(nlhs, plhs, nrhs, prhs);
    } else if (command == "draw") {
        draw(nlhs, plhs, nrhs, prhs);
    } else if (command == "merge") {
        merge(nlhs, plhs, nrhs, prhs);
    } else {
        throw Error("no command '" + command + "'");
    }
}

// The message of a failed run, cut to the buffer; false when none.
bool run_caught(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[], char *msg, size_t len)
{
    try {
        run(nlhs, plhs, nrhs, prhs);
        return false;
    } catch (const std::bad_alloc &) {
        std::snprintf(msg, len, "%s", "Not enough memory available; unable to run!");
    } catch (const std::exception &e) {
        // Octave puts the function's name first; MATLAB names it in its own line.
        std::snprintf(msg, len, "%s", e.what());
    }
    return true;
}

}  // namespace

void mexFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])
{
    char msg[1024];
    if (run_caught(nlhs, plhs, nrhs, prhs, msg, sizeof msg)) {
        mexErrMsgTxt(msg);
        return;  // a host may return from its error routine
    }
}