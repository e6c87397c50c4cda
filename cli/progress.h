// What a training run tells the person at the terminal: a live line on stderr
// driven by the training plug-in's per-presentation console lines, a summary
// in plain words, and a clean end on Ctrl-C.
#ifndef QUORV_CLI_PROGRESS_H
#define QUORV_CLI_PROGRESS_H

#include <chrono>
#include <string>

namespace cli {

// While alive, receives the training plug-in's console text. `verbose` is the
// user's plug-in detail: 0 shows none of it, 1 its summary, 2 and up all of
// it. The live line is drawn when stderr is a terminal and verbose <= 1.
class TrainingMonitor {
public:
    TrainingMonitor(long verbose, const std::string &title);
    ~TrainingMonitor();
    TrainingMonitor(const TrainingMonitor &) = delete;
    TrainingMonitor &operator=(const TrainingMonitor &) = delete;

    // The oflag to pass: at least 2, so that every presentation reports.
    long oflag() const { return verbose_ >= 0 && verbose_ < 2 ? 2 : verbose_; }
    // "converged after 29 presentations: 173 nodes (12 inactive), 45 ms".
    std::string summary(double list_presentations, size_t nodes, long max_presentations);

private:
    static void receive(const std::string &text, void *self);
    void line(const std::string &text);
    void draw();

    long verbose_;
    std::string title_, pending_;
    bool live_, in_summary_ = false;
    long presentation_ = 0, nodes_ = 0, last_new_ = -1, last_updates_ = -1, inactive_ = -1;
    bool trimmed_ = false;
    std::chrono::steady_clock::time_point start_, drawn_;
};

// While alive, a signal that ends the tool (Ctrl-C, TERM, ...) prints
// "quorv: interrupted; MESSAGE" ("ended by SIGTERM; MESSAGE") as the process
// ends by it (see signals.h). `message` must outlive the guard.
class InterruptGuard {
public:
    explicit InterruptGuard(const char *message);
    ~InterruptGuard();
    // Before the guard ends: the output is written, the message no longer true.
    void end();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;
};

bool stderr_is_terminal();

// The live line of work counted in units: "TITLE: DONE of TOTAL WHAT, 1.2 s",
// cleared once DONE reaches TOTAL.
void draw_count(const char *title, size_t done, size_t total, const char *what,
                std::chrono::steady_clock::time_point start);

}  // namespace cli

#endif
