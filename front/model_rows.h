// A member's node rows, parsed and checked on several threads while the
// reader walks on through the file.
//
// What it keeps true: the labels and bounds are those one thread gives, in
// file order, and a refusal is the first one in file order, with the message
// and line one thread gives, whatever the threads' timing: a batch's rows are
// judged in their order, batches are taken back in theirs, and an error of
// the reader's own (a later line) gives way to any row refused before it.
// Memory is bounded: at most a few batches of row text are in flight, and no
// thread is started before a batch fills. Workers end before the pipeline is
// destroyed, an exception included.
#ifndef QUORV_FRONT_MODEL_ROWS_H
#define QUORV_FRONT_MODEL_ROWS_H

#include "model.h"
#include "model_reader.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

namespace front {

// What a member's rows are held to.
struct RowRules {
    const std::unordered_set<double> *classes = nullptr;  // null: any whole label
    const std::vector<std::string> *names = nullptr;      // the model's features
    std::vector<size_t> features;                         // the member's, empty: all
    size_t cols = 0;
    bool keep_bounds = true;
};

// One node row's text after "node ", judged at `at`'s line: its label, and
// its bounds appended to *bounds when kept (else only checked, *scratch
// holding one row at a time). `node` counts from 0 within the member.
double read_row(const Reader &at, std::string_view rest, const RowRules &rules, size_t node,
                std::vector<double> *bounds, std::vector<double> *scratch);

class RowPipeline {
public:
    // Rows go to `threads` threads (the reader's one included) in batches
    // of about `batch` bytes; one thread: each row is judged as it comes.
    RowPipeline(Model *model, const Reader &reader, int threads, size_t batch);
    ~RowPipeline();
    RowPipeline(const RowPipeline &) = delete;
    RowPipeline &operator=(const RowPipeline &) = delete;

    // Member `member`'s rows follow; its labels and bounds go to
    // model->members[member].
    void begin_member(size_t member, RowRules rules);
    // The next row of the member, at the reader's current line.
    void row(std::string_view rest);
    // Every row judged and in its member; throws the first refusal.
    void finish();
    // What to throw for `own`, an error of the reader's at a later line: the
    // first row refused before it, else `own`.
    [[noreturn]] void fail_after(std::exception_ptr own);

private:
    struct Batch;
    void submit();
    void take_back(Batch &b);
    void work();
    Batch *first_waiting();
    std::unique_ptr<Batch> next_judged(std::unique_lock<std::mutex> &lock);
    static void judge(Batch &b, const Reader &proto);

    Model *model_;
    const Reader &reader_;  // walking on: its line is the row's
    const Reader proto_;    // a copy the workers judge from, never changed
    const int threads_;
    const size_t batch_size_;
    size_t member_ = 0;
    std::shared_ptr<const RowRules> rules_;
    std::vector<double> scratch_;
    std::unique_ptr<Batch> open_;  // rows not yet handed out
    size_t next_node_ = 0;
    bool failed_ = false;  // a batch's error was thrown

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Batch>> queue_;  // in file order
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace front

#endif
