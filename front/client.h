// The one client of the two plug-ins, for both front ends: typed training
// and classification calls, their host arrays built straight from the front
// end's matrices (rows and columns picked, and scaled, on the way), the shapes
// of what the plug-ins give back checked, and their refusals completed with
// the front end's own name for the argument.
//
// Loading: a plug-in file is loaded through the embedded host, with every
// check, at its first call, and kept loaded while the file at its path is
// unchanged (the same file, size and modification time), so that its running
// totals go on across calls as in any host. A file changed on disk is loaded
// again, with every check, at its next call, and its totals start anew.
// Calls are made one at a time: a front end calling from several threads
// holds its own lock around them.
//
// Linked as quorv_client, beside the core library, which needs no host.
#ifndef QUORV_FRONT_CLIENT_H
#define QUORV_FRONT_CLIENT_H

#include "error.h"
#include "model.h"
#include "scaling.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace front {

// Rows `rows` (all when null) and columns `columns` (all when null) of `x`,
// in that order, scaled on the way by `scaling` when given and enabled (its
// ranges are those of the columns of x).
struct Patterns {
    MatrixView x;
    const std::vector<size_t> *rows = nullptr;
    const std::vector<size_t> *columns = nullptr;
    const Scaling *scaling = nullptr;

    size_t count() const { return rows ? rows->size() : x.rows; }
    size_t width() const { return columns ? columns->size() : x.cols; }
};

// A member's nodes: `templates` nodes x 2F (F lower bounds, then F upper
// bounds), `labels` nodes x 1.
struct Nodes {
    MatrixView templates, labels;
};

// How a front end words what the plug-ins say.
struct Wording {
    // A refusal naming a plug-in argument of `names` ends " (KIND NAME)", NAME
    // the front end's own: " (option --vigilance)", " (parameter vigilance)".
    std::string kind;
    std::vector<std::pair<std::string, std::string>> names;
    bool one_line = false;        // a refusal's line breaks become blanks
    bool file_name_only = false;  // a load failure names the file, not its path
    std::string load_hint;        // added to a load failure
};

// Where the plug-in's console goes during a call; no listener: the host's
// own setting (minihost::set_console_echo).
struct Console {
    void (*listener)(const std::string &text, void *context) = nullptr;
    void *context = nullptr;
};

// A plug-in that cannot be loaded, or a result of the wrong shape: no fault of
// the caller's arguments.
class PluginError : public Error {
public:
    using Error::Error;
};
// An argument the plug-in refused, in its own words and the front end's name.
class PluginRefusal : public Error {
public:
    using Error::Error;
};

class PluginClient {
public:
    explicit PluginClient(Wording wording) : wording_(std::move(wording)) {}

    // quorv_train at `path` on `patterns` and their labels (`labels`, one
    // column, the same rows); the nodes, with no features of their own.
    Member train(const std::string &path, const Patterns &patterns, const Patterns &labels, const TrainParams &params,
                 long verbose, const Console &console = Console()) const;

    // quorv_perf at `path`: one label per pattern, `unknown_label` where no box
    // passes the vigilance test.
    std::vector<double> classify(const std::string &path, const Nodes &nodes, double vigilance,
                                 const Patterns &patterns, double unknown_label, long verbose,
                                 const Console &console = Console()) const;

private:
    Wording wording_;
};

}  // namespace front

#endif
