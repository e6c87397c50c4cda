// The plug-ins, each loaded, checked and tried once per run of the tool and
// kept for its calls: their running operation totals go on across the calls
// of one command, as in any host.
#include "plugins.h"

#include "error.h"
#include "minihost.h"
#include "paths.h"
#include "platform.h"

#include <cstdio>
#include <map>
#include <memory>

namespace cli {

namespace {

// Plug-in argument names and the options that set them.
const struct {
    const char *argument;
    const char *option;
} kOptionOf[] = {
    {"vigilance", "--vigilance"},
    {"min_size", "--min-size"},
    {"learning_rate", "--learning-rate"},
    {"epsilon", "--epsilon"},
    {"max_list_presentations", "--max-presentations"},
    {"trim_option", "--trim"},
    {"unknown_label", "--unknown-label"},
    {"oflag", "--verbose"},
};

// The plug-in `name` (quorv_train, quorv_perf), whose stamp must give that name.
minihost::Plugin &plugin(const std::string &name)
{
    static std::map<std::string, std::unique_ptr<minihost::Plugin>> loaded;
    std::unique_ptr<minihost::Plugin> &slot = loaded[name];
    if (slot)
        return *slot;
    const std::string file_name = name + kPluginSuffix;
    const std::string path = plugin_path(file_name);
    std::string reason;
    slot = minihost::Plugin::load(path, &reason, name);
    if (!slot)
        throw Error("cannot load the plug-in " + file_name + ": " + reason +
                    " (QUORV_PLUGIN_DIR names the folder that holds it)");
    return *slot;
}

// Runs the call; a refusal becomes an Error that also names the tool's option.
minihost::CallResult call(minihost::Plugin &plugin, int nlhs, const std::vector<minihost::Array> &inputs)
{
    std::vector<const mxArray *> in;
    for (const auto &a : inputs)
        in.push_back(a.get());
    std::fflush(stdout);  // our own lines come before the plug-in's
    minihost::CallResult result = plugin.call(nlhs, in);
    std::fflush(stdout);
    if (result.ok)
        return result;
    std::string message = result.error;
    for (char &ch : message)  // the plug-ins break long messages over lines
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    const size_t open = message.find("input argument (");
    if (open != std::string::npos) {
        const size_t start = open + 16, close = message.find(')', start);
        const std::string argument = message.substr(start, close - start);
        for (const auto &entry : kOptionOf)
            if (argument == entry.argument)
                message += std::string(" (option ") + entry.option + ")";
    }
    throw Error(message);
}

// Output i of a successful call; a plug-in that left a slot empty is a fault.
const mxArray *output(const minihost::CallResult &result, size_t i)
{
    if (i >= result.outputs.size() || !result.outputs[i])
        throw Error("a plug-in returned fewer results than it should");
    return result.outputs[i].get();
}

std::vector<double> row_major(const mxArray *a, size_t rows, size_t cols)
{
    const std::vector<double> column_major = minihost::values(a);
    std::vector<double> out(rows * cols);
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j)
            out[i * cols + j] = column_major[j * rows + i];
    return out;
}

}  // namespace

TrainOutput call_train(const Dataset &patterns, const TrainParams &p, long verbose)
{
    std::vector<minihost::Array> inputs;
    inputs.push_back(minihost::make_row_major(patterns.rows, patterns.cols(), patterns.x));
    inputs.push_back(minihost::make_double(patterns.rows, 1, patterns.y));
    for (double scalar : {p.vigilance, p.min_size, p.learning_rate, p.epsilon,
                          static_cast<double>(p.max_list_presentations), static_cast<double>(p.trim_option),
                          static_cast<double>(verbose)})
        inputs.push_back(minihost::make_scalar(scalar));
    const minihost::CallResult result = call(plugin("quorv_train"), 3, inputs);

    const mxArray *templates = output(result, 0), *labels = output(result, 1), *count = output(result, 2);
    TrainOutput out;
    const std::vector<size_t> dims = minihost::dims(templates);
    out.nodes = dims.at(0);
    out.labels = minihost::values(labels);
    const std::vector<double> presentations = minihost::values(count);
    if (dims.size() != 2 || dims[1] != 2 * patterns.cols() || out.labels.size() != out.nodes ||
        presentations.size() != 1)
        throw Error("the training plug-in returned arrays of unexpected shapes");
    out.templates = row_major(templates, out.nodes, dims[1]);
    out.list_presentations = presentations[0];
    return out;
}

std::vector<double> call_perf(const Model &model, size_t member, const Dataset &patterns, double vigilance,
                              long unknown_label, long verbose)
{
    const Member &m = model.members.at(member);
    std::vector<minihost::Array> inputs;
    inputs.push_back(minihost::make_row_major(m.nodes, 2 * model.member_cols(member), m.templates));
    inputs.push_back(minihost::make_double(m.nodes, 1, m.labels));
    inputs.push_back(minihost::make_scalar(vigilance));
    inputs.push_back(minihost::make_row_major(patterns.rows, patterns.cols(), patterns.x));
    inputs.push_back(minihost::make_scalar(static_cast<double>(unknown_label)));
    inputs.push_back(minihost::make_scalar(static_cast<double>(verbose)));
    const minihost::CallResult result = call(plugin("quorv_perf"), 1, inputs);
    std::vector<double> labels = minihost::values(output(result, 0));
    if (labels.size() != patterns.rows)
        throw Error("the classification plug-in returned " + std::to_string(labels.size()) + " labels for " +
                    std::to_string(patterns.rows) + " patterns");
    return labels;
}

}  // namespace cli
