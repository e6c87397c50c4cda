// The tool's side of classification: the plug-in as the policy's member call,
// and the counts in the tool's words.
#include "voting.h"

#include "front/classes.h"

#include "error.h"
#include "pipeline.h"
#include "plugins.h"
#include "progress.h"

#include <algorithm>
#include <functional>
#include <cstdio>

namespace cli {

std::string ClassifyCounts::text(double vigilance, bool nearest) const
{
    char vig[64];
    std::snprintf(vig, sizeof vig, "%g", vigilance);
    std::string out = std::to_string(patterns) + (patterns == 1 ? " pattern: " : " patterns: ") +
                      std::to_string(by_boxes) + " by their boxes (vigilance " + vig + ")";
    if (nearest && (vigilance > 0 || by_nearest > 0))
        out += ", " + std::to_string(by_nearest) + " by the nearest box (vigilance 0)";
    return out + ", " + std::to_string(unclassified()) + " unclassified";
}

size_t classify_block_rows(const Model &model, size_t columns)
{
    const size_t kCells = size_t{1} << 20, kRows = 65536;
    const size_t by_file = std::max<size_t>(1, std::min(kRows, kCells / std::max<size_t>(columns, 1)));
    return std::min(by_file, front::block_rows(model.classes.size(), model.cols()));
}

namespace {

// The members of `model` made ready; each member's templates freed in
// `*release` as soon as its own nodes are made, so that only the members
// being made are held both as read and as made ready.
std::unique_ptr<front::PreparedMembers> prepare(const Model &model, Model *release)
{
    std::vector<front::Nodes> nodes;
    std::vector<std::vector<size_t>> features;
    for (size_t k = 0; k < model.members.size(); ++k) {
        const Member &m = model.members[k];
        nodes.push_back({front::MatrixView::row_major(m.templates.data(), m.nodes, 2 * model.member_cols(k)),
                         front::MatrixView::row_major(m.labels.data(), m.labels.size(), 1)});
        features.push_back(m.features);
    }
    std::function<void(size_t)> made;
    if (release)
        made = [release](size_t k) { std::vector<double>().swap(release->members[k].templates); };
    return std::make_unique<front::PreparedMembers>(nodes, features, made);
}

}  // namespace

std::unique_ptr<front::PreparedMembers> prepare_members(const Model &model) { return prepare(model, nullptr); }

std::unique_ptr<front::PreparedMembers> prepare_and_release(Model *model) { return prepare(*model, model); }

bool nodes_released(const Model &model)
{
    for (size_t k = 0; k < model.members.size(); ++k)
        if (model.members[k].templates.size() != model.members[k].nodes * 2 * model.member_cols(k))
            return true;
    return false;
}

namespace {

front::Voters voters_of(const Model &model)
{
    front::Voters voters;
    for (const ClassName &c : model.classes)
        voters.classes.push_back(c.code);
    for (const Member &m : model.members)
        voters.fallback.push_back(front::most_nodes_class(m.labels, voters.classes));
    voters.forest = model.forest.on;
    voters.features = model.cols();
    return voters;
}

}  // namespace

front::OutOfBag out_of_bag_scaled(const Model &model, const Dataset &scaled, bool nearest)
{
    front::PolicySettings settings;
    settings.vigilance = model.params.vigilance;
    settings.nearest = nearest;
    settings.unknown = static_cast<double>(front::free_unknown_label(model.classes));
    const std::unique_ptr<front::PreparedMembers> prepared = prepare_members(model);
    if (!model.forest.on || !prepared->serves(settings.vigilance, 0, scaled.cols()))
        throw Error("the out-of-bag estimate needs a forest classified at its training vigilance");
    std::vector<std::vector<bool>> saw =
        front::drawn_rows(scaled.rows, model.forest.sample, scaled.cols(), model.forest.features,
                          static_cast<std::uint64_t>(model.shuffle_seed), model.members.size());
    return front::out_of_bag(voters_of(model), std::move(saw), scaled.y, settings,
                             prepared->call(all_patterns(scaled).x, nullptr, settings.unknown, false));
}

std::vector<double> classify_scaled(const Model &model, const Dataset &scaled, const ClassifySettings &s,
                                    ClassifyCounts *counts, std::vector<char> *by_nearest, std::vector<double> *shares)
{
    const front::Voters voters = voters_of(model);
    front::PolicySettings settings;
    settings.vigilance = s.vigilance;
    settings.nearest = s.nearest;
    settings.unknown = static_cast<double>(s.unknown_label);
    settings.shares = shares != nullptr;
    settings.marks = by_nearest != nullptr;
    ClassifyProgress progress(s.verbose, s.live, model.members.size(), scaled.rows);
    front::MemberCall call = [&](size_t member, const std::vector<size_t> &rows, double vigilance) {
        front::Patterns patterns = all_patterns(scaled);
        patterns.rows = &rows;
        if (!model.members[member].features.empty())  // a forest member sees its own features
            patterns.columns = &model.members[member].features;
        const front::Console console = progress.call(vigilance != s.vigilance);
        return call_perf(model, member, patterns, vigilance, s.unknown_label, progress.oflag(), console);
    };
    // Silent calls at a vigilance the plug-in takes go to the prepared models;
    // a live line counts the plug-in's own pattern lines, so it keeps the plug-in.
    std::unique_ptr<front::PreparedMembers> own;
    front::PreparedMembers *prepared = progress.oflag() == 0 ? s.prepared : nullptr;
    if (progress.oflag() == 0 && s.vigilance >= 0 && s.vigilance <= 1 && !prepared) {
        own = prepare_members(model);
        prepared = own.get();
    }
    const bool served = prepared && prepared->serves(s.vigilance, progress.oflag(), scaled.cols());
    if (!served && nodes_released(model))
        throw Error("the model's nodes were released for its prepared members, which cannot answer this call");
    front::Decision d = served ? prepared->decide(voters, all_patterns(scaled).x, nullptr, settings)
                               : front::decide(voters, scaled.rows, settings, call);
    if (counts)
        counts->add(d.counts);
    if (by_nearest)
        *by_nearest = std::move(d.by_nearest);
    if (shares)
        *shares = std::move(d.shares);
    return std::move(d.labels);
}

}  // namespace cli
