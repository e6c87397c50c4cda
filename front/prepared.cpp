// A model's members made ready once (see prepared.h).
//
// What stays true: a member's patterns reach its prepared model as the
// plug-in client would hand them to the plug-in (the same rows, columns and
// scaled values, the same refusals of rows and columns beyond the patterns),
// and what is worked out ahead is only ever given for the very question it
// answers (member, rows and vigilance alike), within one decide().
#include "front/prepared.h"

#include "model/prepared.h"
#include "model/threads.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>

namespace front {

namespace {

std::uint64_t bits(double v)
{
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

const char kNoMemory[] = "not enough memory to classify with the model";

}  // namespace

// One decide()'s patterns, and the answers of a group of members worked out
// ahead: at the vigilance for `rows`, and at vigilance 0 for the rows each
// left out.
struct PreparedMembers::Ahead {
    MatrixView x;
    const Scaling *scaling = nullptr;
    double unknown = -1;
    bool forest = false;

    size_t first = 0, count = 0;
    std::vector<size_t> rows;
    std::uint64_t vigilance = 0;
    std::vector<std::vector<double>> answers, nearest;
    std::vector<std::vector<size_t>> left;
};

PreparedMembers::PreparedMembers(const std::vector<Nodes> &members, const std::vector<std::vector<size_t>> &features)
    : features_(features)
{
    features_.resize(members.size());
    SearchConfig config = SearchConfig::for_processor();
    threads_ = config.threads = search_threads();
    for (const Nodes &n : members) {
        if (n.labels.rows != n.templates.rows || n.labels.cols != 1)
            throw Error("one label per node is needed");
        if (n.templates.rows > static_cast<size_t>(INT32_MAX) || n.templates.cols / 2 > static_cast<size_t>(INT32_MAX))
            throw Error("a model member has more nodes or features than a classification call takes");
        auto model = std::make_unique<PreparedModel>(static_cast<int>(n.templates.cols / 2), config);
        TemplateView view;
        view.values = n.templates.data;
        view.row_stride = n.templates.row_stride;
        view.column_stride = n.templates.col_stride;
        view.labels = n.labels.data;
        view.label_stride = n.labels.row_stride;
        view.count = static_cast<int>(n.templates.rows);
        if (!model->make(view))
            throw Error(kNoMemory);
        models_.push_back(std::move(model));
    }
}

PreparedMembers::~PreparedMembers() = default;

bool PreparedMembers::serves(double vigilance, long verbose, size_t width) const
{
    if (verbose != 0 || !(vigilance >= 0.0 && vigilance <= 1.0))
        return false;
    for (size_t k = 0; k < models_.size(); ++k)
        if ((features_[k].empty() ? width : features_[k].size()) != static_cast<size_t>(models_[k]->features()))
            return false;
    return true;
}

MemberCall PreparedMembers::call(const MatrixView &x, const Scaling *scaling, double unknown, bool forest)
{
    if (scaling && scaling->enabled && (scaling->min.size() != x.cols || scaling->max.size() != x.cols))
        throw Error("scaling needs one minimum and one maximum per feature");
    auto ahead = std::make_shared<Ahead>();
    ahead->x = x;
    ahead->scaling = scaling && scaling->enabled ? scaling : nullptr;
    ahead->unknown = unknown;
    ahead->forest = forest && models_.size() > 1;
    return [this, ahead](size_t member, const std::vector<size_t> &rows, double vigilance) {
        const std::lock_guard<std::mutex> hold(lock_);
        return answer(*ahead, member, rows, vigilance);
    };
}

std::vector<double> PreparedMembers::answer(Ahead &ahead, size_t member, const std::vector<size_t> &rows,
                                            double vigilance)
{
    if (member >= models_.size())
        throw Error("a model member beyond the model was asked for");
    if (!ahead.forest)
        return one(ahead, member, rows, vigilance, threads_);
    const auto held = [&] { return member >= ahead.first && member - ahead.first < ahead.count; };
    if (!held() || (bits(vigilance) != ahead.vigilance && vigilance != 0.0))
        work_ahead(ahead, member, rows, vigilance);
    const size_t at = member - ahead.first;
    if (bits(vigilance) == ahead.vigilance && rows == ahead.rows)
        return ahead.answers[at];
    if (vigilance == 0.0 && !ahead.nearest[at].empty() && rows == ahead.left[at])
        return ahead.nearest[at];
    return one(ahead, member, rows, vigilance, threads_);
}

std::vector<double> PreparedMembers::one(const Ahead &ahead, size_t member, const std::vector<size_t> &rows,
                                         double vigilance, int threads) const
{
    const MatrixView &x = ahead.x;
    const std::vector<size_t> &columns = features_[member];
    const size_t n = rows.size(), m = columns.empty() ? x.cols : columns.size();
    for (const size_t i : rows)
        if (i >= x.rows)
            throw Error("a pattern row beyond the patterns was asked for");
    for (const size_t j : columns)
        if (j >= x.cols)
            throw Error("a pattern column beyond the patterns was asked for");
    std::vector<double> values(n * m), labels(n);
    std::vector<const double *> patterns(n);
    for (size_t r = 0; r < n; ++r) {
        double *row = values.data() + r * m;
        patterns[r] = row;
        for (size_t k = 0; k < m; ++k) {
            const size_t j = columns.empty() ? k : columns[k];
            row[k] = x.at(rows[r], j);
            if (ahead.scaling)
                row[k] = scale_value(row[k], ahead.scaling->min[j], ahead.scaling->max[j]);
        }
    }
    if (!models_[member]->classify(patterns.data(), n, vigilance, ahead.unknown, labels.data(), nullptr, threads))
        throw Error(kNoMemory);
    return labels;
}

namespace {

struct AheadJob {
    const std::function<void(size_t)> *work;
};

void run_ahead(void *context, int task) { (*static_cast<AheadJob *>(context)->work)(static_cast<size_t>(task)); }

}  // namespace

// Members first .. first + group - 1 answer `rows` at `vigilance`, and (above
// vigilance 0) the rows each left out at vigilance 0: each member on one
// core, the members spread over the cores.
void PreparedMembers::work_ahead(Ahead &ahead, size_t first, const std::vector<size_t> &rows, double vigilance)
{
    const size_t group = std::min(models_.size() - first, kGroupMembers * static_cast<size_t>(threads_));
    ahead.first = first;
    ahead.count = 0;  // nothing held while it is worked out: a throw leaves it so
    ahead.rows = rows;
    ahead.vigilance = bits(vigilance);
    ahead.answers.assign(group, {});
    ahead.nearest.assign(group, {});
    ahead.left.assign(group, {});
    std::vector<char> failed(group, 0);
    const std::function<void(size_t)> work = [&](size_t k) {
        try {
            std::vector<double> answers = one(ahead, first + k, rows, vigilance, 1);
            if (vigilance > 0.0) {
                std::vector<size_t> left;
                for (size_t j = 0; j < answers.size(); ++j)
                    if (answers[j] == ahead.unknown)
                        left.push_back(rows[j]);
                if (!left.empty())
                    ahead.nearest[k] = one(ahead, first + k, left, 0.0, 1);
                ahead.left[k] = std::move(left);
            }
            ahead.answers[k] = std::move(answers);
        } catch (...) {
            failed[k] = 1;  // asked again below, on this thread, where it throws
        }
    };
    AheadJob job{&work};
    run_tasks(static_cast<int>(group), threads_, run_ahead, &job);
    for (size_t k = 0; k < group; ++k)
        if (failed[k])
            (void)one(ahead, first + k, rows, vigilance, 1);
    ahead.count = group;
}

}  // namespace front
