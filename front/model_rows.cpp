// Node rows judged in batches on worker threads, taken back in file order.
#include "model_rows.h"

#include "numbers.h"
#include "text.h"

#include <cmath>
#include <cstring>
#include <system_error>

namespace front {

double read_row(const Reader &at, std::string_view rest, const RowRules &rules, size_t node,
                std::vector<double> *bounds, std::vector<double> *scratch)
{
    const double label = at.number(Reader::field(&rest), "node label");
    if (!is_int32_whole(label))
        at.fail("node label " + format_double(label) + " is not a whole number in the int range");
    if (rules.classes && !rules.classes->count(label))
        at.fail("node label " + format_double(label) + " is not a class of the model");
    const size_t cols = rules.cols, width = 2 * cols;
    if (!rules.keep_bounds && Reader::ordered_row(rest, cols))
        return label;
    // Bounds only checked: one row at a time.
    std::vector<double> &to = rules.keep_bounds ? *bounds : *scratch;
    if (!rules.keep_bounds)
        to.clear();
    for (size_t j = 0; j < width; ++j) {
        if (rest.empty())
            at.fail("node has " + std::to_string(j) + " bounds, not " + std::to_string(width));
        to.push_back(at.number(Reader::field(&rest), "node bound", [](double v) { return std::isfinite(v); },
                               "a finite number"));
    }
    if (!rest.empty())
        at.fail("node has more than " + std::to_string(width) + " bounds");
    const double *row = &to[to.size() - width];
    for (size_t j = 0; j < cols; ++j)
        if (!(row[j] <= row[cols + j]))
            at.fail("node " + std::to_string(node + 1) + ": lower bound " + format_double(row[j]) +
                    " is above the upper bound " + format_double(row[cols + j]) + " of feature '" +
                    excerpt((*rules.names)[rules.features.empty() ? j : rules.features[j]]) + "'");
    return label;
}

struct RowPipeline::Batch {
    size_t member = 0, first_node = 0;
    long first_line = 0;
    std::shared_ptr<const RowRules> rules;
    std::string text;  // the rows, each ended by LF
    std::vector<double> labels, bounds;
    std::exception_ptr error;
    enum class State { waiting, taken, done } state = State::waiting;
};

RowPipeline::RowPipeline(Model *model, const Reader &reader, int threads, size_t batch)
    : model_(model), reader_(reader), proto_(reader), threads_(threads < 1 ? 1 : threads),
      batch_size_(batch < 1 ? 1 : batch)
{
}

RowPipeline::~RowPipeline()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread &t : workers_)
        t.join();
}

void RowPipeline::begin_member(size_t member, RowRules rules)
{
    if (open_)
        submit();
    member_ = member;
    rules_ = std::make_shared<const RowRules>(std::move(rules));
    next_node_ = 0;
}

void RowPipeline::row(std::string_view rest)
{
    if (threads_ == 1) {
        Member &m = model_->members[member_];
        m.labels.push_back(read_row(reader_, rest, *rules_, next_node_++, &m.templates, &scratch_));
        return;
    }
    if (!open_) {
        open_ = std::make_unique<Batch>();
        open_->member = member_;
        open_->first_node = next_node_;
        open_->first_line = reader_.line();
        open_->rules = rules_;
        open_->text.reserve(batch_size_ + rest.size() + 1);
    }
    open_->text.append(rest.data(), rest.size());
    open_->text += '\n';
    ++next_node_;
    if (open_->text.size() >= batch_size_)
        submit();
}

// Rows judged from a copy of the reader set to each row's line, so that a
// message is the one the reader would give there.
void RowPipeline::judge(Batch &b, const Reader &proto)
{
    try {
        Reader at(proto);
        std::vector<double> scratch;
        std::string_view text = b.text;
        long line = b.first_line;
        for (size_t node = b.first_node; !text.empty(); ++node, ++line) {
            const size_t end = text.find('\n');
            at.set_line(line);
            b.labels.push_back(read_row(at, text.substr(0, end), *b.rules, node, &b.bounds, &scratch));
            text.remove_prefix(end + 1);
        }
    } catch (...) {
        b.error = std::current_exception();
    }
    std::string().swap(b.text);
}

void RowPipeline::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        Batch *b = first_waiting();
        if (b) {
            b->state = Batch::State::taken;
            lock.unlock();
            judge(*b, proto_);
            lock.lock();
            b->state = Batch::State::done;
            changed_.notify_all();
        } else if (stopping_) {
            return;
        } else {
            changed_.wait(lock);
        }
    }
}

RowPipeline::Batch *RowPipeline::first_waiting()
{
    for (const std::unique_ptr<Batch> &b : queue_)
        if (b->state == Batch::State::waiting)
            return b.get();
    return nullptr;
}

// The first batch once judged, out of the queue: while it is not, this
// thread judges the batches no worker has taken.
std::unique_ptr<RowPipeline::Batch> RowPipeline::next_judged(std::unique_lock<std::mutex> &lock)
{
    while (queue_.front()->state != Batch::State::done) {
        Batch *b = first_waiting();
        if (!b) {
            changed_.wait(lock);
            continue;
        }
        b->state = Batch::State::taken;
        lock.unlock();
        judge(*b, proto_);
        lock.lock();
        b->state = Batch::State::done;
    }
    std::unique_ptr<Batch> b = std::move(queue_.front());
    queue_.pop_front();
    return b;
}

void RowPipeline::submit()
{
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(std::move(open_));
    if (workers_.size() + 1 < static_cast<size_t>(threads_)) {
        try {
            workers_.emplace_back(&RowPipeline::work, this);
        } catch (const std::system_error &) {
            // Fewer threads: this one judges what no worker takes.
        }
    }
    changed_.notify_one();
    // Bounded: past a few batches in flight, the oldest is taken back.
    while (queue_.size() > 2 * static_cast<size_t>(threads_)) {
        std::unique_ptr<Batch> b = next_judged(lock);
        lock.unlock();
        take_back(*b);
        lock.lock();
    }
}

void RowPipeline::take_back(Batch &b)
{
    if (b.error) {
        failed_ = true;
        std::rethrow_exception(b.error);
    }
    Member &m = model_->members[b.member];
    m.labels.insert(m.labels.end(), b.labels.begin(), b.labels.end());
    if (b.rules->keep_bounds)
        m.templates.insert(m.templates.end(), b.bounds.begin(), b.bounds.end());
}

void RowPipeline::finish()
{
    if (open_)
        submit();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!queue_.empty()) {
        std::unique_ptr<Batch> b = next_judged(lock);
        lock.unlock();
        take_back(*b);
        lock.lock();
    }
}

void RowPipeline::fail_after(std::exception_ptr own)
{
    // A batch's error was thrown already: every batch left is later.
    if (!failed_) {
        if (open_) {
            const std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(open_));
        }
        std::unique_lock<std::mutex> lock(mutex_);
        while (!queue_.empty()) {
            const std::unique_ptr<Batch> b = next_judged(lock);
            if (b->error)
                std::rethrow_exception(b->error);
        }
    }
    std::rethrow_exception(own);
}

}  // namespace front
