// The plug-in client: loading and keeping the plug-ins, marshalling, result
// checks and refusals.
#include "client.h"

#include "minihost.h"

#include <cstdio>
#include <map>
#include <memory>

namespace front {

namespace {

// The plug-in at `path`, whose stamp must give `name`: loaded at first use and
// kept while the file is unchanged. Never released: plug-ins stay loaded
// until the process ends, as a host keeps them.
minihost::Plugin &loaded(const std::string &path, const char *name, const Wording &wording)
{
    static auto *kept = new std::map<std::string, std::unique_ptr<minihost::Plugin>>;
    std::unique_ptr<minihost::Plugin> &slot = (*kept)[path];
    if (slot && slot->unchanged())
        return *slot;
    slot.reset();  // unloaded first, so that a new file starts its state anew
    std::string reason;
    slot = minihost::Plugin::load(path, &reason, name);
    if (slot)
        return *slot;
    const size_t cut = wording.file_name_only ? path.find_last_of("/\\") : std::string::npos;
    const std::string shown = cut == std::string::npos ? path : path.substr(cut + 1);
    throw PluginError("cannot load the plug-in " + shown + ": " + reason + wording.load_hint);
}

// The plug-in's message, naming the front end's argument it concerns.
std::string refusal(std::string message, const Wording &wording)
{
    if (wording.one_line)
        for (char &ch : message)  // the plug-ins break long messages over lines
            if (ch == '\n' || ch == '\r')
                ch = ' ';
    const size_t open = message.find("input argument (");
    if (open != std::string::npos) {
        const size_t start = open + 16, close = message.find(')', start);
        const std::string argument = message.substr(start, close - start);
        for (const auto &entry : wording.names)
            if (argument == entry.first)
                return message + " (" + wording.kind + " " + entry.second + ")";
    }
    return message;
}

minihost::CallResult call(minihost::Plugin &plugin, int nlhs, const std::vector<minihost::Array> &inputs,
                          const Console &console, const Wording &wording)
{
    std::vector<const mxArray *> in;
    for (const auto &a : inputs)
        in.push_back(a.get());
    std::fflush(stdout);  // the front end's own lines come before the plug-in's
    struct Listening {
        explicit Listening(const Console &c) : on(c.listener != nullptr)
        {
            if (on)
                minihost::set_console_listener(c.listener, c.context);
        }
        ~Listening()
        {
            if (on)
                minihost::set_console_listener(nullptr, nullptr);
        }
        bool on;
    };
    minihost::CallResult result;
    {
        const Listening listening(console);
        result = plugin.call(nlhs, in);
    }
    std::fflush(stdout);
    if (!result.ok)
        throw PluginRefusal(refusal(result.error, wording));
    return result;
}

// Output i of a successful call; a plug-in that left a slot empty is a fault.
const mxArray *output(const minihost::CallResult &result, size_t i)
{
    if (i >= result.outputs.size() || !result.outputs[i])
        throw PluginError("a plug-in returned fewer results than it should");
    return result.outputs[i].get();
}

// The patterns as a host array (column-major), in one pass.
minihost::Array host_matrix(const Patterns &p)
{
    const size_t n = p.count(), m = p.width();
    if (p.rows)
        for (const size_t i : *p.rows)
            if (i >= p.x.rows)
                throw Error("a pattern row beyond the patterns was asked for");
    if (p.columns)
        for (const size_t j : *p.columns)
            if (j >= p.x.cols)
                throw Error("a pattern column beyond the patterns was asked for");
    const bool scaled = p.scaling && p.scaling->enabled;
    if (scaled && (p.scaling->min.size() != p.x.cols || p.scaling->max.size() != p.x.cols))
        throw Error("scaling needs one minimum and one maximum per feature");
    minihost::Array a = minihost::make_double(n, m);
    double *out = mxGetPr(a.get());
    for (size_t k = 0; k < m; ++k) {
        const size_t j = p.columns ? (*p.columns)[k] : k;
        double *column = out + k * n;
        for (size_t r = 0; r < n; ++r)
            column[r] = p.x.at(p.rows ? (*p.rows)[r] : r, j);
        if (scaled)
            for (size_t r = 0; r < n; ++r)
                column[r] = scale_value(column[r], p.scaling->min[j], p.scaling->max[j]);
    }
    return a;
}

Patterns whole(const MatrixView &x)
{
    Patterns p;
    p.x = x;
    return p;
}

}  // namespace

Member PluginClient::train(const std::string &path, const Patterns &patterns, const Patterns &labels,
                           const TrainParams &p, long verbose, const Console &console) const
{
    if (labels.count() != patterns.count() || labels.width() != 1)
        throw Error("one label per pattern is needed");
    minihost::Plugin &plugin = loaded(path, "quorv_train", wording_);
    std::vector<minihost::Array> inputs;
    inputs.push_back(host_matrix(patterns));
    inputs.push_back(host_matrix(labels));
    for (double scalar : {p.vigilance, p.min_size, p.learning_rate, p.epsilon,
                          static_cast<double>(p.max_list_presentations), static_cast<double>(p.trim_option),
                          static_cast<double>(verbose)})
        inputs.push_back(minihost::make_scalar(scalar));
    const minihost::CallResult result = call(plugin, 3, inputs, console, wording_);

    const mxArray *templates = output(result, 0), *node_labels = output(result, 1), *count = output(result, 2);
    const std::vector<size_t> dims = minihost::dims(templates);
    Member out;
    out.labels = minihost::values(node_labels);
    const std::vector<double> presentations = minihost::values(count);
    if (dims.size() != 2 || dims[1] != 2 * patterns.width() || out.labels.size() != dims[0] ||
        presentations.size() != 1)
        throw PluginError("the training plug-in returned arrays of unexpected shapes");
    out.nodes = dims[0];
    const std::vector<double> column_major = minihost::values(templates);
    out.templates.resize(column_major.size());
    for (size_t i = 0; i < out.nodes; ++i)
        for (size_t j = 0; j < dims[1]; ++j)
            out.templates[i * dims[1] + j] = column_major[j * out.nodes + i];
    out.list_presentations = presentations[0];
    return out;
}

std::vector<double> PluginClient::classify(const std::string &path, const Nodes &nodes, double vigilance,
                                           const Patterns &patterns, double unknown_label, long verbose,
                                           const Console &console) const
{
    if (nodes.labels.rows != nodes.templates.rows || nodes.labels.cols != 1)
        throw Error("one label per node is needed");
    minihost::Plugin &plugin = loaded(path, "quorv_perf", wording_);
    std::vector<minihost::Array> inputs;
    inputs.push_back(host_matrix(whole(nodes.templates)));
    inputs.push_back(host_matrix(whole(nodes.labels)));
    inputs.push_back(minihost::make_scalar(vigilance));
    inputs.push_back(host_matrix(patterns));
    inputs.push_back(minihost::make_scalar(unknown_label));
    inputs.push_back(minihost::make_scalar(static_cast<double>(verbose)));
    const minihost::CallResult result = call(plugin, 1, inputs, console, wording_);
    std::vector<double> labels = minihost::values(output(result, 0));
    if (labels.size() != patterns.count())
        throw PluginError("the classification plug-in returned " + std::to_string(labels.size()) + " labels for " +
                          std::to_string(patterns.count()) + " patterns");
    return labels;
}

}  // namespace front
