// A model's members made ready once (see prepared.h).
//
// What stays true: a member's patterns reach its prepared model as the
// plug-in client would hand them to the plug-in (the same rows, columns and
// scaled values, the same refusals of rows and columns beyond the patterns),
// and what is worked out ahead is only ever given for the very question it
// answers (member, rows and vigilance alike, vigilance 0 from the same search),
// within one decide().
#include "front/prepared.h"

#include "model/prepared.h"
#include "model/threads.h"

#include <algorithm>
#include <climits>
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

// Node values sized per thread before a second thread pays for its start
// (about a millisecond of searching).
constexpr double kThreadWork = 2e6;

// Runs work(0) .. work(count - 1) on up to `threads` threads; a task that
// throws is run again on this thread, where its error reaches the caller.
void spread(size_t count, int threads, const std::function<void(size_t)> &work)
{
    std::vector<char> failed(count, 0);
    const std::function<void(size_t)> guarded = [&](size_t k) {
        try {
            work(k);
        } catch (...) {
            failed[k] = 1;
        }
    };
    run_tasks(static_cast<int>(count), threads,
              [](void *context, int k) { (*static_cast<const std::function<void(size_t)> *>(context))(k); },
              const_cast<std::function<void(size_t)> *>(&guarded));
    for (size_t k = 0; k < count; ++k)
        if (failed[k])
            work(k);
}

bool contiguous(const std::vector<size_t> &rows)
{
    for (size_t j = 1; j < rows.size(); ++j)
        if (rows[j] != rows[0] + j)
            return false;
    return !rows.empty();
}

}  // namespace

// One decide()'s patterns, and the answers of a group of members worked out
// ahead for rows first_row .. first_row + rows - 1: at the vigilance, and at
// vigilance 0, member by member.
struct PreparedMembers::Ahead {
    MatrixView x;
    const Scaling *scaling = nullptr;
    double unknown = -1;
    std::mutex lock;

    size_t first = 0, count = 0, first_row = 0, rows = 0;
    std::uint64_t vigilance = 0;
    std::vector<double> answers, nearest;  // count x rows
};

PreparedMembers::PreparedMembers(const std::vector<Nodes> &members, const std::vector<std::vector<size_t>> &features,
                                 const std::function<void(size_t)> &made)
    : features_(features), locks_(new std::mutex[members.size()])
{
    features_.resize(members.size());
    SearchConfig config = SearchConfig::for_processor();
    threads_ = config.threads = search_threads();
    for (const Nodes &n : members) {
        if (n.labels.rows != n.templates.rows || n.labels.cols != 1)
            throw Error("one label per node is needed");
        if (n.templates.rows > static_cast<size_t>(INT32_MAX) || n.templates.cols / 2 > static_cast<size_t>(INT32_MAX))
            throw Error("a model member has more nodes or features than a classification call takes");
        models_.push_back(std::make_unique<PreparedModel>(static_cast<int>(n.templates.cols / 2), config));
        work_.push_back(static_cast<double>(n.templates.rows) * static_cast<double>(n.templates.cols / 2));
    }
    // Each member's nodes and groups are made on one core, the members on all.
    spread(members.size(), threads_, [&](size_t k) {
        const Nodes &n = members[k];
        TemplateView view;
        view.values = n.templates.data;
        view.row_stride = n.templates.row_stride;
        view.column_stride = n.templates.col_stride;
        view.labels = n.labels.data;
        view.label_stride = n.labels.row_stride;
        view.count = static_cast<int>(n.templates.rows);
        if (models_[k]->count() > 0 || !models_[k]->make(view))
            throw Error(kNoMemory);
        if (made)
            made(k);
    });
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

Decision PreparedMembers::decide(const Voters &voters, const MatrixView &x, const Scaling *scaling,
                                 const PolicySettings &settings) const
{
    if (!serves(settings.vigilance, 0, x.cols))
        throw Error("the prepared members take a vigilance in [0, 1] and patterns of their own width");
    if (voters.fallback.size() != models_.size())
        throw Error("one fallback class per prepared member is needed");
    return front::decide(voters, x.rows, settings, call(x, scaling, settings.unknown));
}

MemberCall PreparedMembers::call(const MatrixView &x, const Scaling *scaling, double unknown, bool) const
{
    if (scaling && scaling->enabled && (scaling->min.size() != x.cols || scaling->max.size() != x.cols))
        throw Error("scaling needs one minimum and one maximum per feature");
    auto ahead = std::make_shared<Ahead>();
    ahead->x = x;
    ahead->scaling = scaling && scaling->enabled ? scaling : nullptr;
    ahead->unknown = unknown;
    return [this, ahead](size_t member, const std::vector<size_t> &rows, double vigilance) {
        const std::lock_guard<std::mutex> hold(ahead->lock);
        return answer(*ahead, member, rows, vigilance);
    };
}

std::vector<double> PreparedMembers::answer(Ahead &ahead, size_t member, const std::vector<size_t> &rows,
                                            double vigilance) const
{
    if (member >= models_.size())
        throw Error("a model member beyond the model was asked for");
    if (models_.size() == 1)
        return one(ahead, member, rows, vigilance, threads_);
    const bool held = member >= ahead.first && member - ahead.first < ahead.count &&
                      std::all_of(rows.begin(), rows.end(), [&](size_t i) {
                          return i >= ahead.first_row && i - ahead.first_row < ahead.rows;
                      });
    if (!held || (bits(vigilance) != ahead.vigilance && vigilance != 0.0)) {
        if (!contiguous(rows))
            return one(ahead, member, rows, vigilance, threads_);
        work_ahead(ahead, member, rows.front(), rows.size(), vigilance);
    }
    const std::vector<double> &held_answers = bits(vigilance) == ahead.vigilance ? ahead.answers : ahead.nearest;
    const double *from = held_answers.data() + (member - ahead.first) * ahead.rows;
    std::vector<double> out(rows.size());
    for (size_t j = 0; j < rows.size(); ++j)
        out[j] = from[rows[j] - ahead.first_row];
    return out;
}

std::vector<double> PreparedMembers::one(const Ahead &ahead, size_t member, const std::vector<size_t> &rows,
                                         double vigilance, int threads) const
{
    for (const size_t i : rows)
        if (i >= ahead.x.rows)
            throw Error("a pattern row beyond the patterns was asked for");
    std::vector<double> labels(rows.size());
    search(ahead, member, rows.data(), 0, rows.size(), vigilance, labels.data(), nullptr, threads);
    return labels;
}

// Member `member`'s labels at `vigilance` for n rows (rows[r], or first_row + r
// when rows is null) into labels[0..n-1], and at vigilance 0 into nearest when
// given. With one thread (a member among others), the patterns are gathered a
// window of kWindowCells values at a time; with more, all at once (a block of
// the policy's is bounded already) so that the search can share them out.
void PreparedMembers::search(const Ahead &ahead, size_t member, const size_t *rows, size_t first_row, size_t n,
                             double vigilance, double *labels, double *nearest, int threads) const
{
    const MatrixView &x = ahead.x;
    const std::vector<size_t> &columns = features_[member];
    const size_t m = columns.empty() ? x.cols : columns.size();
    for (const size_t j : columns)
        if (j >= x.cols)
            throw Error("a pattern column beyond the patterns was asked for");
    const size_t window = threads > 1 ? n : std::max<size_t>(1, std::min(n, kWindowCells / std::max<size_t>(m, 1)));
    std::vector<double> values(window * m);
    std::vector<const double *> patterns(window);
    const std::lock_guard<std::mutex> hold(locks_[member]);
    for (size_t at = 0; at < n; at += window) {
        const size_t part = std::min(window, n - at);
        for (size_t r = 0; r < part; ++r) {
            const size_t i = rows ? rows[at + r] : first_row + at + r;
            double *row = values.data() + r * m;
            patterns[r] = row;
            for (size_t k = 0; k < m; ++k) {
                const size_t j = columns.empty() ? k : columns[k];
                row[k] = x.at(i, j);
                if (ahead.scaling)
                    row[k] = scale_value(row[k], ahead.scaling->min[j], ahead.scaling->max[j]);
            }
        }
        if (!models_[member]->classify(patterns.data(), part, vigilance, ahead.unknown, labels + at, nullptr, threads,
                                       nearest ? nearest + at : nullptr))
            throw Error(kNoMemory);
    }
}

// Members first .. first + group - 1 answer rows first_row .. first_row + n
// - 1 at `vigilance` and at vigilance 0: each member on one core, the members
// spread over the cores, as many as kAheadBytes holds.
void PreparedMembers::work_ahead(Ahead &ahead, size_t first, size_t first_row, size_t n, double vigilance) const
{
    if (first_row >= ahead.x.rows || n > ahead.x.rows - first_row)
        throw Error("a pattern row beyond the patterns was asked for");
    const size_t group = std::min(models_.size() - first, std::max<size_t>(1, kAheadBytes / (2 * sizeof(double) * n)));
    ahead.count = 0;  // nothing held while it is worked out: a throw leaves it so
    ahead.answers.resize(group * n);
    ahead.nearest.resize(group * n);
    double work = 0;
    for (size_t k = first; k < first + group; ++k)
        work += work_[k] * static_cast<double>(n);
    const double most = std::max(1.0, std::min({static_cast<double>(threads_), static_cast<double>(group),
                                                work / kThreadWork}));
    spread(group, static_cast<int>(most), [&](size_t k) {
        search(ahead, first + k, nullptr, first_row, n, vigilance, ahead.answers.data() + k * n,
               ahead.nearest.data() + k * n, 1);
    });
    ahead.first = first;
    ahead.count = group;
    ahead.first_row = first_row;
    ahead.rows = n;
    ahead.vigilance = bits(vigilance);
}

}  // namespace front
