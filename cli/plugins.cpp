// The plug-ins at the tool's paths, each loaded and kept by the client: their
// running operation totals go on across the calls of one command, as in any
// host, unless the file changes on disk.
#include "plugins.h"

#include "front/merge.h"

#include "paths.h"
#include "platform.h"

#include <map>
#include <string>

namespace cli {

namespace {

const front::PluginClient &client()
{
    static const front::PluginClient tool(front::Wording{
        "option",
        {{"vigilance", "--vigilance"},
         {"min_size", "--min-size"},
         {"learning_rate", "--learning-rate"},
         {"epsilon", "--epsilon"},
         {"max_list_presentations", "--max-presentations"},
         {"trim_option", "--trim"},
         {"unknown_label", "--unknown-label"},
         {"oflag", "--verbose"}},
        true,
        true,
        " (QUORV_PLUGIN_DIR names the folder that holds it)"});
    return tool;
}

// The file of plug-in `name` (quorv_train, quorv_perf), found once per run.
const std::string &path_of(const std::string &name)
{
    static std::map<std::string, std::string> paths;
    std::string &path = paths[name];
    if (path.empty())
        path = plugin_path(name + kPluginSuffix);
    return path;
}

}  // namespace

front::Patterns all_patterns(const Dataset &data)
{
    front::Patterns p;
    p.x = front::MatrixView::row_major(data.x.data(), data.rows, data.cols());
    return p;
}

TrainOutput call_train(const Dataset &patterns, const TrainParams &params, long verbose, size_t *merged)
{
    front::Patterns labels;
    labels.x = front::MatrixView::row_major(patterns.y.data(), patterns.y.size(), 1);
    const front::Patterns x = all_patterns(patterns);
    if (!merged)
        return client().train(path_of("quorv_train"), x, labels, params, verbose);
    const front::Merged m = front::merge_conflicts(x, labels);
    *merged += m.merged;
    return client().train(path_of("quorv_train"), m.patterns(x), m.label_column(), params, verbose);
}

std::vector<double> call_perf(const Model &model, size_t member, const front::Patterns &patterns, double vigilance,
                              long unknown_label, long verbose, const front::Console &console)
{
    const Member &m = model.members.at(member);
    front::Nodes nodes;
    nodes.templates = front::MatrixView::row_major(m.templates.data(), m.nodes, 2 * model.member_cols(member));
    nodes.labels = front::MatrixView::row_major(m.labels.data(), m.labels.size(), 1);
    return client().classify(path_of("quorv_perf"), nodes, vigilance, patterns, static_cast<double>(unknown_label),
                             verbose, console);
}

}  // namespace cli
