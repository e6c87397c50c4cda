// quorv info: what a model file holds, in plain words.
#include "commands.h"

#include "model.h"
#include "numbers.h"
#include "report.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <vector>

namespace cli {

Command info_command()
{
    Command c;
    c.name = "info";
    c.operands = {"MODEL"};
    c.usage = "MODEL";
    c.summary = "show what a model file holds";
    c.description =
        "Prints the model's features with their training ranges, its classes with their\n"
        "node counts, the training settings and how it was trained.";
    return c;
}

namespace {

// `text` padded with blanks to `width` characters.
std::string left(const std::string &text, size_t width)
{
    const size_t shown = display_width(text);
    return text + std::string(width > shown ? width - shown : 0, ' ');
}

std::string members_line(const Model &model, size_t i)
{
    const Member &one = model.members.at(i);
    const long p = static_cast<long>(one.list_presentations);
    // Training reports one presentation fewer than it ran when it converges.
    const bool converged = p < model.params.max_list_presentations;
    std::string text = count_of(one.nodes, "node") + ", " + (converged ? "converged after " : "stopped after ") +
                       count_of(static_cast<size_t>(std::max(p, 0L)), "presentation");
    if (model.forest.on) {
        text += ", rows drawn with seed " + std::to_string(model.shuffle_seed + static_cast<long>(i)) + "; features: ";
        for (size_t j = 0; j < one.features.size(); ++j)
            text += (j ? ", " : "") + table_name(model.feature_names[one.features[j]]);
    } else if (model.shuffle_seed >= 0) {
        text += ", rows shuffled with seed " + std::to_string(model.shuffle_seed + static_cast<long>(i));
    }
    return text;
}

}  // namespace

void run_info(const Args &args)
{
    const std::string path = args.operands[0];
    const Model model = front::read_model_outline(path);
    // Names come from files: shown inert and cut to a fixed width, as in
    // every table the tool prints, so that no name widens every line
    // (members' feature lists included).
    std::printf("Model %s (format %d): %s, %s, trained on %s\n", visible(path).c_str(), model.version,
                count_of(model.cols(), "feature").c_str(), count_of(model.classes.size(), "class", "classes").c_str(),
                count_of(static_cast<size_t>(model.training_patterns), "pattern").c_str());
    std::printf("\nFeatures (%s; training minimum and maximum):\n",
                model.scaling.enabled ? "scaled to [0, 1] by these ranges" : "not scaled");
    std::vector<std::string> features;
    size_t width = 0;
    for (const std::string &name : model.feature_names) {
        features.push_back(table_name(name));
        width = std::max(width, display_width(features.back()));
    }
    for (size_t j = 0; j < model.cols(); ++j)
        std::printf("  %s  %s .. %s\n", left(features[j], width).c_str(), format_double(model.scaling.min[j]).c_str(),
                    format_double(model.scaling.max[j]).c_str());
    if (!model.ignored.empty()) {
        std::string names;
        for (const std::string &name : model.ignored)
            names += (names.empty() ? "" : ", ") + table_name(name);
        std::printf("Columns left out: %s\n", names.c_str());
    }

    std::printf("\nClasses (label column '%s'; code, name, nodes%s):\n", table_name(model.label_name).c_str(),
                model.members.size() > 1 ? " in all members" : "");
    std::unordered_map<double, size_t> nodes;  // one pass over the nodes, however many classes
    for (const Member &m : model.members)
        for (double label : m.labels)
            ++nodes[label];
    std::vector<std::string> names;
    size_t name_width = 0;
    for (const ClassName &c : model.classes) {
        names.push_back(table_name(c.name));
        name_width = std::max(name_width, display_width(names.back()));
    }
    for (size_t k = 0; k < model.classes.size(); ++k)
        std::printf("  %6s  %s  %zu\n", format_double(model.classes[k].code).c_str(),
                    left(names[k], name_width).c_str(), nodes[model.classes[k].code]);

    const TrainParams &p = model.params;
    std::printf("\nSettings: vigilance %s, min_size %s, learning_rate %s, epsilon %s, max_list_presentations %ld, "
                "trim %s\n",
                format_double(p.vigilance).c_str(), format_double(p.min_size).c_str(),
                format_double(p.learning_rate).c_str(), format_double(p.epsilon).c_str(), p.max_list_presentations,
                p.trim_option ? "on" : "off");
    if (model.merge_conflicts && model.merged_patterns > 0)
        std::printf("Conflicts: merged before each training call, %s in all (identical patterns with different "
                    "labels presented once with the label most of them carry)\n",
                    count_of(static_cast<size_t>(model.merged_patterns), "pattern").c_str());
    if (model.members.size() == 1) {
        std::printf("Training: %s%s\n", members_line(model, 0).c_str(),
                    model.shuffle_seed < 0 ? ", rows in file order" : "");
        return;
    }
    if (model.forest.on)
        std::printf("Training: a forest of %zu members, each on %s drawn %s replacement from the %ld training "
                    "patterns and %zu of the %zu features\n",
                    model.members.size(), count_of(model.forest.sample.rows, "row").c_str(),
                    model.forest.sample.bootstrap ? "with" : "without", model.training_patterns,
                    model.forest.features, model.cols());
    if (model.forest.on && model.oob.on)
        std::printf("%s\n", oob_text(model.oob, static_cast<size_t>(model.training_patterns)).c_str());
    if (!model.forest.on)
        std::printf("Training: %zu voting members, each on its own shuffle of the rows\n", model.members.size());
    for (size_t i = 0; i < model.members.size(); ++i)
        std::printf("  member %zu: %s\n", i + 1, members_line(model, i).c_str());
}

}  // namespace cli
